#include "gui/FieldScale.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {
bool g_on = false;
std::optional<QFont> g_desktopFont;
QString g_desktopStyle;
} // namespace

int TouchTargetPixelsOnScreen()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen != nullptr ? screen->logicalDotsPerInchY() : 96.0;
    return static_cast<int>(std::ceil(kTouchTargetMm / 25.4 * dpi));
}

bool ProgramFieldScale()
{
    return g_on;
}

void SetProgramFieldScale(bool on)
{
    if (on == g_on)
        return;
    g_on = on;
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr)
        return;
    if (on) {
        g_desktopFont = QApplication::font();
        g_desktopStyle = app->styleSheet();
        QFont larger = *g_desktopFont;
        larger.setPointSize(std::max(larger.pointSize(), kFieldTextPoints));
        QApplication::setFont(larger);
        // Every control a finger works, in every window made from now on; the
        // check marks are what a glove must hit, not only their text.
        const int touch = TouchTargetPixelsOnScreen();
        app->setStyleSheet(g_desktopStyle + QStringLiteral(
                                                "QPushButton, QToolButton, QComboBox, QLineEdit, QAbstractSpinBox "
                                                "{ min-height: %1px; }"
                                                "QPushButton { min-width: %2px; }"
                                                "QCheckBox, QRadioButton { min-height: %1px; }"
                                                "QCheckBox::indicator, QRadioButton::indicator "
                                                "{ width: %3px; height: %3px; }"
                                                "QTabBar::tab { min-height: %1px; }"
                                                "QScrollBar:vertical { width: %3px; }"
                                                "QScrollBar:horizontal { height: %3px; }")
                                                .arg(touch)
                                                .arg(2 * touch)
                                                .arg(touch * 2 / 3));
    } else {
        if (g_desktopFont)
            QApplication::setFont(*g_desktopFont);
        app->setStyleSheet(g_desktopStyle);
    }
}

void FitForTouch(QWidget& top)
{
    if (!g_on)
        return;
    const int touch = TouchTargetPixelsOnScreen();
    for (QWidget* control : top.findChildren<QWidget*>()) {
        const bool target = qobject_cast<QAbstractButton*>(control) != nullptr ||
                            qobject_cast<QComboBox*>(control) != nullptr ||
                            qobject_cast<QLineEdit*>(control) != nullptr ||
                            qobject_cast<QAbstractSpinBox*>(control) != nullptr;
        if (!target || control->parentWidget() == nullptr || qobject_cast<QTabBar*>(control->parentWidget()) != nullptr)
            continue;
        // A line edit inside an editable list is the list's.
        if (qobject_cast<QComboBox*>(control->parentWidget()) != nullptr ||
            qobject_cast<QAbstractSpinBox*>(control->parentWidget()) != nullptr)
            continue;
        if (control->height() < touch || control->minimumHeight() < touch) {
            control->setMinimumHeight(touch);
            if (control->height() < touch)
                control->resize(control->width(), touch);
        }
        if (qobject_cast<QPushButton*>(control) != nullptr && control->width() < 2 * touch) {
            control->setMinimumWidth(2 * touch);
            control->resize(2 * touch, control->height());
        }
    }
}
