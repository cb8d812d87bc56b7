#include "gui/DialogLayout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <vector>

#include "gui/Images.h"
#include "gui/PictureControl.h"
#include "gui/TestWindow.h"

namespace {

constexpr char kControlIdProperty[] = "controlId";

QRect ToQRect(const DLG_RECT& r)
{
    return QRect(r.x, r.y, r.cx, r.cy);
}

// A drop-down's template height includes its opened list; closed it is as high
// as its text needs. Texts drawn for the handheld's narrow dialog font may need
// more room in the desktop's font: labels and boxes grow to the right to fit.
QRect FittedRect(const QWidget& control, const QRect& rect)
{
    if (qobject_cast<const QComboBox*>(&control) != nullptr)
        return QRect(rect.topLeft(), QSize(rect.width(), control.sizeHint().height()));
    if (qobject_cast<const QLabel*>(&control) != nullptr || qobject_cast<const QCheckBox*>(&control) != nullptr)
        return QRect(rect.topLeft(), QSize(std::max(rect.width(), control.sizeHint().width()), rect.height()));
    return rect;
}

QWidget* CreateControl(QWidget& parent, const DLG_CONTROL& control, const QRect& rect)
{
    const QString text = control.pszText != nullptr ? QString::fromUtf8(control.pszText) : QString();
    QWidget* widget = nullptr;
    switch (control.kind) {
    case DLG_KIND::Label:
    case DLG_KIND::CentredLabel: {
        auto* label = new QLabel(text, &parent);
        label->setAlignment((control.kind == DLG_KIND::CentredLabel ? Qt::AlignHCenter : Qt::AlignLeft) |
                            Qt::AlignTop);
        widget = label;
        break;
    }
    case DLG_KIND::Picture: {
        auto* picture = new CPictureControl(&parent);
        picture->SetBitmap(control.nResource);
        widget = picture;
        break;
    }
    case DLG_KIND::Icon: {
        auto* icon = new QLabel(&parent);
        icon->setPixmap(ProgramIconImage(std::min(rect.width(), rect.height()), parent.devicePixelRatioF()));
        widget = icon;
        break;
    }
    case DLG_KIND::TextWindow:
        widget = new CTestWindow(&parent);
        break;
    case DLG_KIND::InfoBox: {
        auto* info = new QPlainTextEdit(&parent);
        // Read-only rather than greyed out, so that the text stays readable.
        info->setReadOnly(true);
        info->setFocusPolicy(Qt::NoFocus);
        info->setTextInteractionFlags(Qt::NoTextInteraction);
        info->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        info->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        info->setFrameShape(QFrame::NoFrame);
        // The page shows through the box, as the dialog's labels do.
        info->viewport()->setAutoFillBackground(false);
        widget = info;
        break;
    }
    case DLG_KIND::DropList: {
        auto* list = new QComboBox(&parent);
        list->setEditable(false);
        widget = list;
        break;
    }
    case DLG_KIND::CheckBox:
    case DLG_KIND::CheckBoxLeft: {
        auto* box = new QCheckBox(text, &parent);
        if (control.kind == DLG_KIND::CheckBoxLeft)
            box->setLayoutDirection(Qt::RightToLeft);
        widget = box;
        break;
    }
    case DLG_KIND::Button:
        widget = new QPushButton(text, &parent);
        break;
    }
    widget->setProperty(kControlIdProperty, control.nId);
    widget->setObjectName(QStringLiteral("control%1").arg(control.nId));
    widget->setGeometry(FittedRect(*widget, rect));
    return widget;
}

// Content a control gets again when it moves: its template text, its template
// image, its current selection.
void RefreshControl(QWidget& widget, const DLG_CONTROL& control, const QRect& rect)
{
    if (control.pszText != nullptr) {
        if (auto* label = qobject_cast<QLabel*>(&widget))
            label->setText(QString::fromUtf8(control.pszText));
        else if (auto* button = qobject_cast<QAbstractButton*>(&widget))
            button->setText(QString::fromUtf8(control.pszText));
    }
    if (control.kind == DLG_KIND::Icon) {
        if (auto* icon = qobject_cast<QLabel*>(&widget))
            icon->setPixmap(ProgramIconImage(std::min(rect.width(), rect.height()), widget.devicePixelRatioF()));
    } else if (control.kind == DLG_KIND::Picture) {
        if (auto* picture = qobject_cast<CPictureControl*>(&widget))
            picture->SetBitmap(control.nResource);
    }
    if (auto* list = qobject_cast<QComboBox*>(&widget))
        list->setCurrentIndex(list->currentIndex());
}

} // namespace

DIALOG_FONT_METRICS DialogFontMetrics(const QWidget& widget)
{
    const QFontMetrics metrics(widget.font());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // Average over the 52 letters, rounded to nearest.
    return {(letters / 26 + 1) / 2, metrics.height()};
}

QRect DialogRectToPixels(const QWidget& dialog, const DLG_RECT& units)
{
    const DIALOG_FONT_METRICS m = DialogFontMetrics(dialog);
    return ToQRect(DialogUnitsToPixels(units, m.avgCharWidth, m.charHeight));
}

QSize DialogSizeToPixels(const QWidget& dialog, int cx, int cy)
{
    return DialogRectToPixels(dialog, {0, 0, cx, cy}).size();
}

void BuildDialogControls(QWidget& parent, const DLG_TEMPLATE& dialogTemplate)
{
    for (size_t i = 0; i < dialogTemplate.nControls; ++i) {
        const DLG_CONTROL& c = dialogTemplate.pControls[i];
        CreateControl(parent, c, DialogRectToPixels(parent, {c.x, c.y, c.cx, c.cy}));
    }
}

QWidget* FindControl(const QWidget& parent, int controlId)
{
    for (QWidget* child : parent.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QVariant id = child->property(kControlIdProperty);
        if (id.isValid() && id.toInt() == controlId)
            return child;
    }
    return nullptr;
}

int ControlIdOf(const QWidget& control)
{
    const QVariant id = control.property(kControlIdProperty);
    return id.isValid() ? id.toInt() : IDC_STATIC;
}

bool RelayoutDialog(QWidget& dialog, int templateId)
{
    const DLG_TEMPLATE* dialogTemplate = FindDialogTemplate(templateId);
    if (dialogTemplate == nullptr)
        return false;

    // Moves are gathered first and applied together, so a missing control
    // leaves the dialog as it was instead of half moved.
    struct MOVE {
        QWidget* widget;
        const DLG_CONTROL* control;
        QRect rect;
    };
    std::vector<MOVE> batch;
    batch.reserve(dialogTemplate->nControls);
    bool allFound = true;
    int withoutId = 0;
    for (size_t i = 0; i < dialogTemplate->nControls; ++i) {
        const DLG_CONTROL& c = dialogTemplate->pControls[i];
        if (c.nId == IDC_STATIC)
            ++withoutId;
        QWidget* widget = FindControl(dialog, c.nId);
        if (widget == nullptr) {
            allFound = false;
            continue;
        }
        batch.push_back({widget, &c, DialogRectToPixels(dialog, {c.x, c.y, c.cx, c.cy})});
    }
    if (!allFound || withoutId >= 2)
        return false;
    for (const MOVE& move : batch) {
        move.widget->setGeometry(FittedRect(*move.widget, move.rect));
        RefreshControl(*move.widget, *move.control, move.rect);
    }
    return true;
}

void FitInfoBoxToText(QWidget& parent, int controlId)
{
    auto* box = FindControlAs<QPlainTextEdit>(parent, controlId);
    if (box == nullptr)
        return;
    const int margin = static_cast<int>(std::ceil(box->document()->documentMargin()));
    const int frame = box->frameWidth();
    const int textWidth = box->width() - 2 * (margin + frame);
    const QFontMetrics metrics(box->font());
    const QRect wrapped = metrics.boundingRect(QRect(0, 0, std::max(textWidth, 1), 1 << 20),
                                               Qt::TextWordWrap, box->toPlainText());
    const int lines = std::max(1, (wrapped.height() + metrics.lineSpacing() - 1) / metrics.lineSpacing());
    // The box lays its lines out at the font's fractional line spacing.
    const qreal spacing = QFontMetricsF(box->font()).lineSpacing();
    const int needed = static_cast<int>(std::ceil(lines * spacing)) + 1 + 2 * (margin + frame);
    const int grow = needed - box->height();
    if (grow <= 0)
        return;
    const int oldBottom = box->geometry().bottom();
    box->resize(box->width(), needed);
    for (QWidget* child : parent.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child != box && child->geometry().top() > oldBottom)
            child->move(child->x(), child->y() + grow);
    }
    parent.setMinimumHeight(parent.minimumHeight() + grow);
}
