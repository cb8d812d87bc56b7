// A picture of the form (link picture or lamp). It shows one bitmap resource and
// swaps it on the GUI thread only: changes from the link threads arrive posted.
#pragma once

#include <QLabel>

class CPictureControl : public QLabel {
    Q_OBJECT
public:
    explicit CPictureControl(QWidget* parent = nullptr);

    // Shows bitmap resource bitmapId, drawn at the screen's device pixel ratio;
    // the control takes the image's logical size.
    void SetBitmap(int bitmapId);
    int GetBitmap() const { return m_bitmapId; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    int m_bitmapId = 0;
    qreal m_ratio = 1.0;
};
