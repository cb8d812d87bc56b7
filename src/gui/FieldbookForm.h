// The main form (template 101): the GPS and Bluetooth pictures with their lamps
// and labels, and the test window; under them the last point readout. It draws
// what the view's face tells it.
#pragma once

#include <QWidget>

class QLabel;
class CPictureControl;
class CPointReadout;
class CTestWindow;

class CFieldbookForm : public QWidget {
    Q_OBJECT
public:
    explicit CFieldbookForm(QWidget* parent = nullptr);

    CPictureControl* Picture(int controlId) const;
    CTestWindow* TestWindow() const { return m_testWindow; }
    CPointReadout* Readout() const { return m_readout; }
    // The third lamp, "Corrections": hidden until the RTK corrections speak.
    QLabel* CorrectionsLamp() const { return m_correctionsLamp; }
    QLabel* CorrectionsText() const { return m_correctionsText; }

    // Places the test window (form coordinates), on top of its siblings.
    void PlaceTestWindow(const QRect& rect, bool show);

public slots:
    void OnBitmapChanged(int controlId, int bitmapId);
    void OnRawData(const QByteArray& chunk);
    void OnTestWindowCleared();
    void OnCorrections(const QString& line, bool streaming);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void PlaceReadout();

    CTestWindow* m_testWindow = nullptr;
    CPointReadout* m_readout = nullptr;
    QLabel* m_correctionsLamp = nullptr;
    QLabel* m_correctionsText = nullptr;
    // Where the template ends: the readout goes below.
    QSize m_templateSize;
};
