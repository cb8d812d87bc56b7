// The crew's utility buttons: one tap per utility type of the colour-code
// table in force, in its colour, then New segment, Void, Note and Job. Each
// goes through the application's one command path, as fieldbook-ctl does; the
// panel also serves the control socket from the GUI thread's event loop.
#pragma once

#include <QSocketNotifier>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

class CFieldbookApp;
class QLabel;
class QPushButton;

class CUtilityPanel : public QWidget {
    Q_OBJECT
public:
    CUtilityPanel(CFieldbookApp& app, QWidget* parent = nullptr);
    // Buttons at least pixels high, their text at points (field scale).
    void SetFieldScale(int points, int pixels);
    // Watches the control socket; call once the application has started.
    void ServeControl();
    // The current utility and job, after a command from either face.
    void Refresh();

private:
    void Run(const std::vector<std::string>& words);
    void AskNote();
    void AskJob();

    CFieldbookApp& m_app;
    std::unique_ptr<QSocketNotifier> m_control;
    std::vector<QPushButton*> m_buttons;
    QLabel* m_current = nullptr;
};
