#include "gui/DialogLayout.h"

#include <QDialog>
#include <QLabel>
#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>

#include "GuiTestSupport.h"
#include "gui/AboutDlg.h"
#include "gui/FieldGuide.h"
#include "gui/FieldScale.h"
#include "gui/SettingsSheet.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTabBar>
#include <QTabWidget>
#include <functional>
#include <memory>
#include "resources/DialogTemplates.h"

namespace {

struct DluCase {
    DLG_RECT units;
    int avgCharWidth;
    int charHeight;
    DLG_RECT pixels;
};

class DialogUnits : public ::testing::TestWithParam<DluCase> {};

TEST_P(DialogUnits, CornersConvertedAndRounded)
{
    const DluCase c = GetParam();
    const DLG_RECT got = DialogUnitsToPixels(c.units, c.avgCharWidth, c.charHeight);
    EXPECT_EQ(got.x, c.pixels.x);
    EXPECT_EQ(got.y, c.pixels.y);
    EXPECT_EQ(got.cx, c.pixels.cx);
    EXPECT_EQ(got.cy, c.pixels.cy);
}

// x * width / 4 and y * height / 8 for both corners, to the nearest pixel.
INSTANTIATE_TEST_SUITE_P(Rects, DialogUnits,
                         ::testing::Values(DluCase{{7, 61, 24, 22}, 6, 13, {11, 99, 36, 36}},
                                           DluCase{{0, 0, 157, 96}, 7, 16, {0, 0, 275, 192}},
                                           DluCase{{3, 5, 1, 1}, 5, 11, {4, 7, 1, 1}},
                                           DluCase{{101, 21, 11, 10}, 4, 8, {101, 21, 11, 10}}));

// Where a control's top left corner belongs (texts may grow to the right).
QPoint Placed(const QWidget& dialog, int templateId, int controlId)
{
    const DLG_CONTROL* c = FindDialogControl(*FindDialogTemplate(templateId), controlId);
    return DialogRectToPixels(dialog, {c->x, c->y, c->cx, c->cy}).topLeft();
}

TEST(RelayoutDialog, AboutBoxMovesToLandscapePlacesWhenMadeWider)
{
    CAboutDlg about;
    // Size changes reach a dialog once it is on screen.
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    const DLG_TEMPLATE* wide = FindDialogTemplate(IDD_ABOUTBOX_WIDE);
    const QSize portrait = about.size();
    about.resize(portrait.height() - 20, portrait.height());
    EXPECT_EQ(about.CurrentTemplate(), IDD_ABOUTBOX);
    EXPECT_EQ(FindControl(about, IDC_ABOUT_VERSION)->pos(), Placed(about, IDD_ABOUTBOX, IDC_ABOUT_VERSION));

    about.resize(DialogSizeToPixels(about, wide->cx, wide->cy));
    ASSERT_GT(about.width(), about.height());
    EXPECT_EQ(about.CurrentTemplate(), IDD_ABOUTBOX_WIDE);
    for (int id : {IDC_ABOUT_ICON, IDC_ABOUT_VERSION, IDC_ABOUT_COPYRIGHT, IDC_OK})
        EXPECT_EQ(FindControl(about, id)->pos(), Placed(about, IDD_ABOUTBOX_WIDE, id)) << id;

    // And back when it is turned again.
    about.resize(portrait.height() - 20, portrait.height());
    EXPECT_EQ(about.CurrentTemplate(), IDD_ABOUTBOX);
    EXPECT_EQ(FindControl(about, IDC_ABOUT_COPYRIGHT)->pos(),
              Placed(about, IDD_ABOUTBOX, IDC_ABOUT_COPYRIGHT));
}

TEST(AboutBox, OpensWithItsLinesInsideAndOkInTheMiddle)
{
    CAboutDlg about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    for (int id : {IDC_ABOUT_ICON, IDC_ABOUT_VERSION, IDC_ABOUT_COPYRIGHT, IDC_OK}) {
        const QWidget* control = FindControl(about, id);
        ASSERT_NE(control, nullptr) << id;
        EXPECT_TRUE(about.rect().contains(control->geometry())) << id;
        EXPECT_EQ(control->pos(), Placed(about, about.CurrentTemplate(), id)) << id;
    }
    const QRect ok = FindControl(about, IDC_OK)->geometry();
    EXPECT_LE(std::abs(ok.center().x() - about.rect().center().x()), 2);
}

TEST(RelayoutDialog, MissingControlOrTemplateFailsAndMovesNothing)
{
    QDialog dialog;
    BuildDialogControls(dialog, *FindDialogTemplate(IDD_ABOUTBOX));
    const QRect iconBefore = FindControl(dialog, IDC_ABOUT_ICON)->geometry();
    const QRect versionBefore = FindControl(dialog, IDC_ABOUT_VERSION)->geometry();

    EXPECT_FALSE(RelayoutDialog(dialog, 4711));
    delete FindControl(dialog, IDC_ABOUT_COPYRIGHT);
    EXPECT_FALSE(RelayoutDialog(dialog, IDD_ABOUTBOX_WIDE));
    EXPECT_EQ(FindControl(dialog, IDC_ABOUT_ICON)->geometry(), iconBefore);
    EXPECT_EQ(FindControl(dialog, IDC_ABOUT_VERSION)->geometry(), versionBefore);
}

TEST(RelayoutDialog, MovedLabelGetsItsTemplateTextBack)
{
    QDialog dialog;
    BuildDialogControls(dialog, *FindDialogTemplate(IDD_ABOUTBOX));
    auto* version = FindControlAs<QLabel>(dialog, IDC_ABOUT_VERSION);
    const QString text = version->text();
    ASSERT_TRUE(text.startsWith(QStringLiteral("fieldbook version ")));
    version->clear();
    EXPECT_TRUE(RelayoutDialog(dialog, IDD_ABOUTBOX_WIDE));
    EXPECT_EQ(version->text(), text);
}

// At the field scale every dialog and box, not the main window alone, has
// controls a gloved finger hits (9 mm from the screen's DPI) and texts read at
// arm's length; measured on the widgets as laid out.
TEST(FieldScale, EveryDialogsControlsAreTouchTargets)
{
    ScratchFolders folders;
    SetProgramFieldScale(true);
    const double pixelsPerMm = QGuiApplication::primaryScreen()->logicalDotsPerInchY() / 25.4;
    struct Row {
        const char* name;
        std::function<std::unique_ptr<QDialog>()> make;
    } rows[] = {
        {"Settings", [] { return std::make_unique<CSettingsSheet>(VIEW_SETTINGS{4, 5, false, false}, nullptr); }},
        {"About", [] { return std::make_unique<CAboutDlg>(); }},
        {"FieldGuide", [] { return std::make_unique<CFieldGuide>(); }},
        {"Notice",
         [] {
             return std::make_unique<QMessageBox>(QMessageBox::Warning, "fieldbook", "GPS: the receiver is silent",
                                                  QMessageBox::Ok);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<QDialog> dialog = row.make();
        dialog->show();
        QApplication::processEvents();
        FitForTouch(*dialog);
        QApplication::processEvents();
        size_t checked = 0;
        // Every page of a sheet, as the crew would open it.
        auto* tabs = dialog->findChild<QTabWidget*>();
        for (int page = 0; page < (tabs != nullptr ? tabs->count() : 1); ++page) {
            if (tabs != nullptr) {
                tabs->setCurrentIndex(page);
                QApplication::processEvents();
            }
            for (QWidget* control : dialog->findChildren<QWidget*>()) {
                const bool target = qobject_cast<QAbstractButton*>(control) != nullptr ||
                                    qobject_cast<QComboBox*>(control) != nullptr ||
                                    (qobject_cast<QLineEdit*>(control) != nullptr &&
                                     qobject_cast<QComboBox*>(control->parentWidget()) == nullptr &&
                                     qobject_cast<QAbstractSpinBox*>(control->parentWidget()) == nullptr) ||
                                    qobject_cast<QAbstractSpinBox*>(control) != nullptr;
                if (!target || !control->isVisible())
                    continue;
                ++checked;
                EXPECT_GE(control->height() / pixelsPerMm, kTouchTargetMm - 0.2)
                    << control->metaObject()->className() << " " << control->objectName().toStdString();
                if (auto* box = qobject_cast<QCheckBox*>(control)) {
                    EXPECT_GE(box->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, box) / pixelsPerMm, 5.5)
                        << box->objectName().toStdString();
                }
            }
            if (tabs != nullptr) {
                EXPECT_GE(tabs->tabBar()->height() / pixelsPerMm, kTouchTargetMm - 0.2);
            }
        }
        EXPECT_GT(checked, 0u);
        EXPECT_GE(dialog->font().pointSize(), kFieldTextPoints);
    }
    SetProgramFieldScale(false);
    EXPECT_LT(QApplication::font().pointSize(), kFieldTextPoints);
}

} // namespace
