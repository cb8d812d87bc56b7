// The main form (template 101): the GPS and Bluetooth pictures with their lamps
// and labels, and the test window. It draws what the view's face tells it.
#pragma once

#include <QWidget>

class CPictureControl;
class CTestWindow;

class CFieldbookForm : public QWidget {
    Q_OBJECT
public:
    explicit CFieldbookForm(QWidget* parent = nullptr);

    CPictureControl* Picture(int controlId) const;
    CTestWindow* TestWindow() const { return m_testWindow; }

    // Places the test window (form coordinates), on top of its siblings.
    void PlaceTestWindow(const QRect& rect, bool show);

public slots:
    void OnBitmapChanged(int controlId, int bitmapId);
    void OnRawData(const QByteArray& chunk);
    void OnTestWindowCleared();

private:
    CTestWindow* m_testWindow = nullptr;
};
