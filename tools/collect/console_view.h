#pragma once

#include <functional>
#include <string>
#include <vector>

#include "run/operator_view.h"
#include "run/upload_result.h"

// The operator view of gathra-collect: a console instead of a window.
//
// - Status lines go to standard output, one per line, each with a local time stamp
//   ("yyyy-mm-dd hh:mm:ss.mmm text"). A status that replaces the previous one (ReplaceStatus, such as the
//   record count) overwrites that line when standard output is a terminal, so the progress is one updating
//   line; anywhere else (the journal, a pipe, a file) every status is a line of its own.
// - A message box becomes one line on standard error, "title: text", and counts as acknowledged at once.
// - A beep becomes a BEL on standard error when asked for, and is ignored otherwise.
// - The waiting label ("端末待ち m:ss") shares the updating line on a terminal: each new count takes the
//   place of the last, and the next status takes the place of the count. Elsewhere it is left out.
// - The busy pointer, the progress bar and the running state have no console form.
//
// Lines leave through the two sinks (standard output, standard error), which add the line feed; they are
// bounded queues in the program, so a console that does not drain never stalls an upload.
class ConsoleView : public OperatorView {
public:
    using LineSink = std::function<void(std::string)>;

    ConsoleView(LineSink out, LineSink err, bool outIsTerminal, bool beep);

    void ReplaceStatus(const std::string& text) override { PrintStatus(text, true); }
    void AppendStatus(const std::string& text) override;
    // The line printed after each upload (UploadSummaryLine); it ends what LastFailure collects.
    void AppendSummary(const std::string& text);
    void SetRunning(bool) override {}
    void SetFileLabel(const std::string& text) override { fileLabel_ = text; }
    std::string FileLabel() const override { return fileLabel_; }
    void SetProgressMax(int) override {}
    void SetProgressValue(int) override {}
    void SetProgressVisible(bool) override {}
    void SetBusyPointer(bool) override {}
    void Beep() override;
    void ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) override;
    void SetWaitingLabel(const std::string& text) override;

    // The last status line appended: after a port that did not open, the line that says why.
    const std::string& LastAppended() const { return lastAppended_; }
    // The lines the last upload that ended "異常終了" showed before that line, joined by " / ": the
    // failure's own text also when the upload ended before its report (a refused enquiry answer).
    const std::string& LastFailure() const { return lastFailure_; }

private:
    // Prints each line of `text`; the first line of a replacing status overwrites the last line shown
    // when that line may be replaced.
    void PrintStatus(const std::string& text, bool replacing);

    LineSink out_;
    LineSink err_;
    bool outIsTerminal_;
    bool beep_;
    bool lastLineReplaceable_ = false;  // the last line on the terminal was a replacing status
    bool lastLineWaiting_ = false;      // the last line on the terminal is a waiting count
    std::string fileLabel_;
    std::string lastAppended_;
    std::vector<std::string> sinceUploadBegan_;  // appended since the port opened or an upload ended
    std::string lastFailure_;
};

// The line printed after each upload: "T01: 4件 → /srv/out/T01.txt 正常終了" (a database's table after the
// data source: "… → db.mdb : T01 …"), and for an upload whose terminal did not get its "ACK" "異常終了"
// with the failure's own status lines in brackets; the count is always the records the output keeps.
std::string UploadSummaryLine(const UploadResult& result);

// The local time as "yyyy-mm-dd hh:mm:ss.mmm".
std::string ConsoleTimeStamp();

// `text` with every CR LF (and lone CR or LF) turned into one blank: a message box as one line.
std::string OneLine(const std::string& text);
