// Dialogs built from the templates of resources/DialogTemplates.h: each control
// becomes a child widget placed in dialog units of the parent's font and carries
// its control id, so that pages and RelayoutDialog find it again.
#pragma once

#include <QWidget>

#include "resources/DialogTemplates.h"

struct DIALOG_FONT_METRICS {
    int avgCharWidth;
    int charHeight;
};

// The average character size of the widget's font, as dialog units are based on.
DIALOG_FONT_METRICS DialogFontMetrics(const QWidget& widget);
QRect DialogRectToPixels(const QWidget& dialog, const DLG_RECT& units);
QSize DialogSizeToPixels(const QWidget& dialog, int cx, int cy);

// Creates the template's controls as children of parent, in template order.
void BuildDialogControls(QWidget& parent, const DLG_TEMPLATE& dialogTemplate);

// The direct child carrying controlId; nullptr when there is none.
QWidget* FindControl(const QWidget& parent, int controlId);
template <typename T>
T* FindControlAs(const QWidget& parent, int controlId)
{
    return qobject_cast<T*>(FindControl(parent, controlId));
}
int ControlIdOf(const QWidget& control);

// Moves the controls of an open dialog to the places of another template with
// the same controls and refreshes their content. false, leaving every control
// where it was, when the template is unknown or a control is missing; false too
// when two or more of the template's controls have no id.
bool RelayoutDialog(QWidget& dialog, int templateId);

// Makes an information box high enough for its text as wrapped at its width in
// the dialog's font; controls below it move down by what it grew, and so does
// the parent's minimum height. Texts drawn for the handheld's narrow font can
// need more lines on a desktop.
void FitInfoBoxToText(QWidget& parent, int controlId);
