#include "batch/terminal_frontend.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <cstdlib>

#include "download/run_download.h"
#include "startup/globals.h"
#include "startup/localtext.h"

namespace dwnfrw::batch {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// A tenth of a second between bar redraws is smooth enough for a person.
constexpr qint64 kBarRefreshMs = 100;

// "%1 elapsed  ~%2 left"
constexpr int kTextBarTimes = 1225;

// The first Ctrl-C asks the running pass to stop at its next line, as the
// window's stop does; a second one ends the program at once.
void onInterrupt(int) {
    if (g_interrupted)
        std::_Exit(130);
    g_interrupted = 1;
}

const char* iconWord(MsgIcon icon) {
    switch (icon) {
        case MsgIcon::Critical:
            return "ERROR";
        case MsgIcon::Question:
            return "QUESTION";
        case MsgIcon::Exclamation:
            return "WARNING";
        case MsgIcon::Information:
            return "INFO";
        default:
            return "MESSAGE";
    }
}

QString clockText(double seconds) {
    const int whole = static_cast<int>(seconds);
    return QStringLiteral("%1:%2")
        .arg(whole / 60, 2, 10, QLatin1Char('0'))
        .arg(whole % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

QString barTimesText(const QString& elapsed, const QString& left) {
    return GetText(kTextBarTimes).arg(elapsed, left);
}

const char* answerWord(MsgAnswer answer) {
    switch (answer) {
        case MsgAnswer::Ok:
            return "OK";
        case MsgAnswer::Cancel:
            return "Cancel";
        case MsgAnswer::Yes:
            return "Yes";
        case MsgAnswer::No:
            break;
    }
    return "No";
}

QString terminalText(const QString& text) {
    QString out = text;
    out.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

MsgAnswer TerminalDialogs::message(const QString& prompt, const QString& title, MsgButtons buttons,
                                   MsgIcon icon) {
    shownTexts.append(prompt);
    if (progress_ != nullptr)
        progress_->breakLine();
    if (icon == MsgIcon::Critical)
        lastCriticalText = prompt;
    FILE* stream = (quiet || icon == MsgIcon::Critical) ? err_ : out_;
    std::fprintf(stream, "\n[%s] %s\n%s\n", iconWord(icon), qPrintable(title),
                 qPrintable(terminalText(prompt).trimmed()));

    if (buttons == MsgButtons::Ok) {
        std::fflush(stream);
        return MsgAnswer::Ok;
    }
    // The run asks two Yes/No questions: whether to go on when the board's
    // version could not be read (text 1004), and whether to write a package
    // older than the board's firmware. Any question but the first is held to
    // the stricter rule.
    const bool downgrade = buttons == MsgButtons::YesNo && prompt != GetText(1004);
    const char* option = downgrade ? "--allow-downgrade" : "--yes";
    const bool agreed = downgrade ? allowDowngrade_ : yes_;
    MsgAnswer answer = agreed ? MsgAnswer::Yes : MsgAnswer::No;
    if (buttons == MsgButtons::OkCancel)
        answer = agreed ? MsgAnswer::Ok : MsgAnswer::Cancel;
    questions.append({prompt, answer, agreed ? option : nullptr});
    declined = declined || !agreed;
    std::fprintf(stream, "-> %s (%s%s)\n", answerWord(answer), agreed ? "" : "no ", option);
    if (!agreed)
        declinedOption = option;
    std::fflush(stream);
    return answer;
}

MsgAnswer TerminalDialogs::messageWithDetails(const QString& prompt, const QString& title,
                                              MsgButtons buttons, MsgIcon icon,
                                              const QString& details) {
    const MsgAnswer answer = message(prompt, title, buttons, icon);
    FILE* stream = (quiet || icon == MsgIcon::Critical) ? err_ : out_;
    std::fprintf(stream, "%s\n", qPrintable(terminalText(details)));
    std::fflush(stream);
    return answer;
}

std::optional<QString> TerminalDialogs::openFile(const OpenFileRequest&) {
    std::optional<QString> chosen = chosen_;
    chosen_.reset();
    return chosen;
}

void TerminalProgress::setOperationText(const QString& text) {
    operation_ = text;
    render();
}

void TerminalProgress::setPercentText(const QString&) {}

void TerminalProgress::setBarVisible(bool) {}

void TerminalProgress::setBarMaximum(int) {}

void TerminalProgress::setBarValue(int) {
    render();
}

void TerminalProgress::setOverallProgress(const OverallProgress& overall) {
    const bool newPhase = !overall_ || overall_->phase != overall.phase;
    overall_ = overall;
    if (!interactive_ && !numbers_ && newPhase) {
        std::fprintf(out_, "%s %s\n", qPrintable(clockText(elapsedSeconds())),
                     qPrintable(phaseName(overall.phase)));
    }
    render();
}

void TerminalProgress::render(bool force) {
    const qint64 now = clock_.elapsed();
    const double elapsed = now / 1000.0;
    const int percent = overall_ ? overall_->percent : 0;

    if (numbers_) {
        const int phase = overall_ ? static_cast<int>(overall_->phase) : -1;
        if (percent == lastPlainPercent_ && operation_ == lastNumbersOperation_ &&
            phase == lastNumbersPhase_)
            return;
        lastNumbersPhase_ = phase;
        lastPlainPercent_ = percent;
        lastNumbersOperation_ = operation_;
        QJsonObject step{{QStringLiteral("percent"), percent},
                         {QStringLiteral("operation"), terminalText(operation_)}};
        if (overall_)
            step.insert(QStringLiteral("phase"), static_cast<int>(overall_->phase));
        std::fprintf(out_, "%s\n", QJsonDocument(step).toJson(QJsonDocument::Compact).constData());
        std::fflush(out_);
        return;
    }

    if (interactive_) {
        if (!force && now - lastRenderMs_ < kBarRefreshMs)
            return;
        lastRenderMs_ = now;
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        QString left = QStringLiteral("--:--");
        if (overall_ && overall_->secondsLeft >= 0)
            left = clockText(overall_->secondsLeft);
        const QString line = QStringLiteral("\r[%1%2] %3%  %4  %5")
                                 .arg(QString(filled, QLatin1Char('#')))
                                 .arg(QString(kWidth - filled, QLatin1Char('.')))
                                 .arg(percent, 3)
                                 .arg(barTimesText(clockText(elapsed), left))
                                 .arg(operation_.left(40));
        std::fprintf(out_, "%s\033[K", qPrintable(line));
        std::fflush(out_);
        barOnLine_ = true;
        return;
    }
    // Plain lines: each phase once (above), and every tenth of the work.
    if (overall_ && percent / 10 != lastPlainPercent_ / 10) {
        lastPlainPercent_ = percent;
        std::fprintf(out_, "%s %d%%\n", qPrintable(clockText(elapsed)), percent);
    }
    std::fflush(out_);
}

void TerminalProgress::breakLine() {
    if (!barOnLine_)
        return;
    render(true);
    std::fprintf(out_, "\n");
    std::fflush(out_);
    barOnLine_ = false;
}

void TerminalProgress::finish() {
    breakLine();
}

void TerminalPump::processEvents() {
    QCoreApplication::processEvents();
    if (g_interrupted)
        globals().StopRequested = true;
}

bool TerminalPump::quitRequested() const {
    return g_interrupted;
}

void TerminalPump::installInterruptHandler() {
    // A closed terminal, a kill and the end of the command that runs this
    // board (a hang-up) stop the run as Ctrl-C does, through its own ending.
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGHUP, onInterrupt);
}

void TerminalToolbar::setToolEnabled(const QString& key, bool enabled) {
    enabled_.removeAll(key);
    if (enabled)
        enabled_.append(key);
}

bool TerminalToolbar::isToolEnabled(const QString& key) const {
    return enabled_.contains(key);
}

}  // namespace dwnfrw::batch
