// The main form (template 101): the GPS and Bluetooth pictures with their lamps
// and labels, and the test window; under them the last point readout. It draws
// what the view's face tells it.
#pragma once

#include <QWidget>

#include "app/EchoLines.h"

class QLabel;
class CPictureControl;
class QLabel;
class CPointReadout;
class CTestWindow;

class CFieldbookForm : public QWidget {
    Q_OBJECT
public:
    explicit CFieldbookForm(QWidget* parent = nullptr);

    CPictureControl* Picture(int controlId) const;
    CTestWindow* TestWindow() const { return m_testWindow; }
    CPointReadout* Readout() const { return m_readout; }
    QLabel* GpsLampText() const { return m_lampText; }

    // The receiver's latest fix in words beside the GPS lamp; amber turns a
    // green lamp amber (a fix below the quality gate).
    void ShowGpsQuality(const QString& text, bool amber);

    // The readout in a font of pointSize points (its three lines keep their
    // room); the form grows to hold it.
    void SetReadoutPointSize(int pointSize);

    // The third lamp, "Corrections": hidden until the RTK corrections speak.
    QLabel* CorrectionsLamp() const { return m_correctionsLamp; }
    QLabel* CorrectionsText() const { return m_correctionsText; }

    // The Corrections lamp green only while they reach the receiver: a
    // caster streaming into an unplugged port is no reason for green.
    void SetCorrectionsReachReceiver(bool reach);
    int CorrectionsLampBitmap() const { return m_nCorrectionsBitmap; }

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
    void SizeReadout();

    CTestWindow* m_testWindow = nullptr;
    CPointReadout* m_readout = nullptr;
    QLabel* m_lampText = nullptr;
    int m_nGpsLampBitmap = 0; // what the link last gave the GPS lamp
    bool m_bGpsAmber = false;
    QLabel* m_correctionsLamp = nullptr;
    QLabel* m_correctionsText = nullptr;
    bool m_bCorrectionsStreaming = false;
    bool m_bCorrectionsReach = true;
    int m_nCorrectionsBitmap = 0;
    // Whole sentences and frames in hex from the links' chunks.
    CEchoLines m_echo;
    // Where the template ends: the readout goes below.
    QSize m_templateSize;
};
