#include "gui/UtilityPanel.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QDialog>
#include <QDialogButtonBox>

#include "app/Application.h"
#include "app/CrewCommands.h"
#include "app/UtilityCodes.h"
#include "point/ColourNames.h"
#include "surveylog/SurveyLog.h"

namespace {
constexpr int kColumns = 4;

// Black text on light colours, white on dark ones, so a label reads in sun.
QString ButtonStyle(uint32_t rgb)
{
    const int r = static_cast<int>((rgb >> 16) & 0xFF), g = static_cast<int>((rgb >> 8) & 0xFF),
              b = static_cast<int>(rgb & 0xFF);
    const bool light = r * 299 + g * 587 + b * 114 > 140000;
    return QString("QPushButton { background-color: #%1; color: %2; font-weight: bold; }")
        .arg(rgb, 6, 16, QChar('0'))
        .arg(light ? "black" : "white");
}
} // namespace

CUtilityPanel::CUtilityPanel(CFieldbookApp& app, QWidget* parent) : QWidget(parent), m_app(app)
{
    setObjectName("utilityPanel");
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(4, 4, 4, 4);
    int n = 0;
    for (const UTILITY_CODE& code : CurrentColourTable().codes) {
        auto* button = new QPushButton(QString::fromUtf8(code.label), this);
        button->setObjectName(QString("utility_") + code.type);
        button->setStyleSheet(ButtonStyle(ColourRgb(code.colour)));
        const std::string type = code.type;
        connect(button, &QPushButton::clicked, this, [this, type] { Run({"utility", type}); });
        grid->addWidget(button, n / kColumns, n % kColumns);
        m_buttons.push_back(button);
        ++n;
    }
    const int row = (n + kColumns - 1) / kColumns;
    const struct {
        const char* text;
        const char* name;
    } actions[] = {{"New segment", "segment"}, {"Void", "void"}, {"Note", "note"}, {"Job", "job"}};
    for (int i = 0; i < 4; ++i) {
        auto* button = new QPushButton(tr(actions[i].text), this);
        button->setObjectName(QString("crew_") + actions[i].name);
        grid->addWidget(button, row, i);
        m_buttons.push_back(button);
    }
    connect(m_buttons[n], &QPushButton::clicked, this, [this] { Run({"segment"}); });
    connect(m_buttons[n + 1], &QPushButton::clicked, this, [this] { Run({"void"}); });
    connect(m_buttons[n + 2], &QPushButton::clicked, this, &CUtilityPanel::AskNote);
    connect(m_buttons[n + 3], &QPushButton::clicked, this, &CUtilityPanel::AskJob);
    m_current = new QLabel(this);
    m_current->setObjectName("utilityCurrent");
    grid->addWidget(m_current, row + 1, 0, 1, kColumns);
    Refresh();
}

void CUtilityPanel::SetFieldScale(int points, int pixels)
{
    QFont big = font();
    big.setPointSize(points);
    for (QPushButton* button : m_buttons) {
        button->setFont(big);
        button->setMinimumHeight(pixels);
    }
    m_current->setFont(big);
}

void CUtilityPanel::ServeControl()
{
    if (m_control || m_app.ControlFd() < 0)
        return;
    m_control = std::make_unique<QSocketNotifier>(m_app.ControlFd(), QSocketNotifier::Read);
    connect(m_control.get(), &QSocketNotifier::activated, this, [this] {
        m_app.ServeControl();
        Refresh();
    });
}

void CUtilityPanel::Refresh()
{
    const UTILITY_TAG& u = CCrewActions::Get().Current();
    const JOB_INFO& job = CSurveyLog::GetInstance()->GetJob();
    QString text = u.IsSet() ? QString::fromStdString(u.type + (u.id.empty() ? "" : " " + u.id) + ", segment " +
                                                      std::to_string(u.segment) + ", level " + u.qualityLevel)
                             : tr("No utility set");
    if (job.IsSet())
        text += QString::fromStdString("  |  job " + job.ticket);
    m_current->setText(text);
}

void CUtilityPanel::Run(const std::vector<std::string>& words)
{
    const CREW_REPLY reply = m_app.Crew(words);
    if (reply.status != CREW_OK)
        QMessageBox::warning(this, QString::fromUtf8(kAppTitle), QString::fromStdString(reply.text).trimmed());
    Refresh();
}

void CUtilityPanel::AskNote()
{
    bool ok = false;
    const QString text = QInputDialog::getText(this, tr("Note"), tr("Note on the last point:"), QLineEdit::Normal,
                                               QString(), &ok);
    if (ok && !text.isEmpty())
        Run({"note", text.toStdString()});
}

void CUtilityPanel::AskJob()
{
    const JOB_INFO& job = CSurveyLog::GetInstance()->GetJob();
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Job"));
    auto* form = new QFormLayout(&dialog);
    auto* ticket = new QLineEdit(QString::fromStdString(job.ticket), &dialog);
    auto* client = new QLineEdit(QString::fromStdString(job.client), &dialog);
    auto* site = new QLineEdit(QString::fromStdString(job.site), &dialog);
    auto* crew = new QLineEdit(QString::fromStdString(job.crew), &dialog);
    form->addRow(tr("Ticket"), ticket);
    form->addRow(tr("Client"), client);
    form->addRow(tr("Site"), site);
    form->addRow(tr("Crew"), crew);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted)
        return;
    std::vector<std::string> words{"job", "--ticket", ticket->text().toStdString()};
    for (const auto& [option, edit] : {std::pair{"--client", client}, std::pair{"--site", site}, std::pair{"--crew", crew}})
        if (!edit->text().isEmpty()) {
            words.emplace_back(option);
            words.push_back(edit->text().toStdString());
        }
    Run(words);
}
