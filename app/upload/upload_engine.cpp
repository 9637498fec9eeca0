#include "upload/upload_engine.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "binding/port_diagnosis.h"
#include "binding/quorlin_binding.h"
#include "codec/frame_codec.h"
#include "codec/text_encoding.h"
#include "common/visible_text.h"
#include "mail/mail_message.h"
#include "mail/send_by_mail.h"
#include "output/output_naming.h"
#include "output/output_store.h"
#include "output/writers.h"
#include "stores/store_table.h"
#include "upload/status_trail.h"
#include "upload/upload_files.h"
#include "upload/upload_texts.h"

namespace {

// More consecutive bad lines than this end the exchange with "BEL".
constexpr int16_t kBadLineLimit = 10;
// Consecutive empty reply results that end the record phase with a time-out.
constexpr int16_t kEmptyReplyLimit = 10;
// Receives of one record-phase pass before its result counts as empty (about 2.5 s of silence).
constexpr int kReceivesPerPass = 5;
// Counts of the upload run are 16-bit signed: one upload holds at most this many records.
constexpr int16_t kMaxRecords = 32767;
// How often the wait for a device that was gone looks at the stop button.
constexpr std::chrono::milliseconds kStopCheckInterval{10};

// The clock of the terminal is set only when the numeric value of TimeAdjust is exactly 1.
bool ClockSettingWanted(const std::string& timeAdjust) {
    const char* text = timeAdjust.c_str();
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return end != text && value == 1.0;
}

// The accepted enquiry answer, taken apart.
struct EnquiryAnswer {
    std::string TerminalId;  // CP932, the characters from position 3 up to the first "@"
    int16_t AnnouncedCount = 0;
};

// Finds the first "@" of `line` as a character, so that the trail byte 0x40 of a double-byte
// character is not taken for it.
size_t FindAtSign(std::string_view line) {
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == '@') {
            return i;
        }
        i = NextCp932Char(line, i);
    }
    return std::string_view::npos;
}

// A byte of a terminal ID as an operator can read it: control bytes as "\x" and two hex digits.
std::string VisibleIdByte(unsigned char byte) {
    if (byte >= 0x20 && byte != 0x7F) {
        return std::string(1, static_cast<char>(byte));
    }
    const char* hex = "0123456789abcdef";
    return std::string("\\x") + hex[byte >> 4] + hex[byte & 0xF];
}

// Why a terminal ID cannot become part of a name ("端末IDがありません", "端末IDに使えない文字があります
// (<character>)"); empty when it can. The bytes as received are checked first, so that a control byte after
// a lead byte cannot hide inside a character the decoder replaces; then the decoded text.
std::string TerminalIdProblem(const std::string& id) {
    if (id.empty()) {
        return kTerminalIdMissing;
    }
    for (const std::string& text : {id, Cp932ToUtf8(id)}) {
        if (IsUsableTerminalId(text)) {
            continue;
        }
        for (const char c : text) {
            if (!IsUsableTerminalId(std::string(1, c))) {
                return kTerminalIdBadCharacter + VisibleIdByte(static_cast<unsigned char>(c)) + ")";
            }
        }
    }
    return {};
}

// Reads the announced count and the terminal ID of an answer that passed the frame check. Refuses an
// answer whose count is not 1 to 32767 (an answer without "@" counts as 0) and, when the ID becomes part
// of a name, an ID that is empty or holds "/" or a control byte: the result is then the cause for the
// operator, and empty when the answer is accepted.
std::string ReadEnquiryAnswer(std::string_view line, bool idNamesOutput, EnquiryAnswer& answer) {
    const size_t at = FindAtSign(line);
    if (at == std::string_view::npos) {
        return std::string(kRecordCountInvalid) + "なし)";
    }
    // The count as received: the payload after "@", up to the "*" before the checksum.
    const std::string received(line.substr(at + 1, line.size() - 3 > at ? line.size() - 3 - (at + 1) : 0));
    long count = 0;
    for (size_t i = at + 1; i < line.size() && line[i] >= '0' && line[i] <= '9' && count <= kMaxRecords;
         ++i) {
        count = count * 10 + (line[i] - '0');
    }
    if (count < 1 || count > kMaxRecords) {
        return kRecordCountInvalid + VisibleText(Cp932ToUtf8(received)) + ")";
    }
    answer.AnnouncedCount = static_cast<int16_t>(count);
    answer.TerminalId = std::string(line.substr(2, at >= 2 ? at - 2 : 0));
    return idNamesOutput ? TerminalIdProblem(answer.TerminalId) : std::string();
}

// The PC clock as a count of seconds, for the time a run has waited (any fixed origin will do).
long long SecondsOf(const PcDateTime& time) {
    using namespace std::chrono;
    const sys_days day = year_month_day(year(time.Year), month(static_cast<unsigned>(time.Month)),
                                        std::chrono::day(static_cast<unsigned>(time.Day)));
    return static_cast<long long>(day.time_since_epoch().count()) * 86400 + time.Hour * 3600LL +
           time.Minute * 60LL + time.Second;
}

// The speed the link runs at: the speeds it knows, any other as 9600 bit/s.
int32_t LineSpeed(int32_t baud) {
    for (const int32_t known : {9600, 19200, 38400, 57600, 115200}) {
        if (baud == known) {
            return baud;
        }
    }
    return 9600;
}

// "端末待ち m:ss".
std::string WaitingText(long long seconds) {
    const std::string ss = std::to_string(seconds % 60);
    return kWaitingForTerminal + std::to_string(seconds / 60) + ":" + (ss.size() < 2 ? "0" : "") + ss;
}

class UploadRun {
public:
    explicit UploadRun(UploadContext& context)
        : trail_(context.View),
          settings_(context.Settings),
          run_(context.Run),
          view_(trail_),
          front_(context.View),
          link_(context.Link),
          clock_(context.Clock ? context.Clock : PcClock(SystemClock)),
          programFolder_(context.ProgramFolder),
          reconnectInterval_(context.ReconnectInterval),
          answerSettle_(context.FinalAnswerSettle),
          uploadEnded_(context.UploadEnded),
          stopBeforeTerminal_(context.StopBeforeTerminal),
          waitingForTerminal_(context.WaitingForTerminal) {}

    RunOutcome Run() {
        // The store's target (a database) must be there before the port is opened.
        store_ = StoreFor(settings_);
        if (store_ == nullptr) {
            view_.AppendStatus(kNoStoreForFormat + std::to_string(settings_.SaveFormat));
        }
        if (store_ == nullptr || !store_->CheckTarget(settings_, run_, view_)) {
            run_.IsRunning = false;
            view_.SetRunning(false);
            return RunOutcome::DatabaseMissing;
        }

        const bool portOpen = OpenPort();
        outcome_ = portOpen ? RunOutcome::StoppedIdle : RunOutcome::PortNotOpened;
        while (!(portOpen && stopBeforeTerminal_)) {
            if (portOpen) {
                Upload();
            }
            const bool gone = deviceGone_;
            // A run that was only waiting for a terminal when its device went has no upload to end.
            if (!gone || uploadBegun_ || !run_.IsRunning) {
                EndUpload();
            }
            if (gone && run_.IsRunning && (!uploadBegun_ || settings_.AutoStart == Switch::On)) {
                if (Reconnect()) {
                    continue;
                }
                EndUpload();  // stopped while the port was away
                break;
            }
            if (!portOpen) {
                ExplainOpenFailure();
            }
            // Automatic restart: the next upload on the open port, without a new port line.
            if (!(settings_.AutoStart == Switch::On && run_.IsRunning)) {
                break;
            }
        }

        view_.SetBusyPointer(false);
        run_.IsRunning = false;
        if (link_ != nullptr) {
            link_->CloseIrCom();
        }
        view_.SetRunning(false);
        return outcome_;
    }

private:
    // The link library takes the port, its speed and the mode as numbers.
    int32_t OpenLink() const {
        return link_->vbOpenIrCom(settings_.Port, settings_.Baud, static_cast<int32_t>(settings_.Mode));
    }

    bool OpenPort() {
        std::string portLine = "COM" + std::to_string(settings_.Port);
        portLine += settings_.Baud == 115200 ? kSpeedText115200 : kSpeedTextOther;
        portLine += settings_.Mode == LinkMode::Direct ? kModeTextDirect : kModeTextAdapter;
        view_.ReplaceStatus(portLine);
        // A link library that could not be loaded is a port that cannot be opened.
        const int32_t result = link_ != nullptr ? OpenLink() : 0;
        openResult_ = result;
        if (result != 1) {
            view_.Beep();
            view_.AppendStatus(kOpenError);
            run_.IsRunning = false;
            return false;
        }
        view_.AppendStatus(kOpenSucceeded);
        errorCount_ = 0;
        return true;
    }

    // After "ｵｰﾌﾟﾝｴﾗｰ" and "異常終了": what kept the port shut, when the front end gave its folder.
    void ExplainOpenFailure() {
        if (programFolder_.empty()) {
            return;
        }
        std::string line;
        if (link_ == nullptr) {
            const std::string why = QuorlinLoadProblem(programFolder_);
            line = why.empty() ? why : LinkLoadProblemLine(why);
        } else {
            line = PortOpenProblem(programFolder_, settings_.Port, settings_.Baud,
                                   static_cast<int32_t>(settings_.Mode), openResult_);
        }
        if (!line.empty()) {
            view_.AppendStatus(line);
        }
    }

    // The device was gone: closes the port and opens the same COM<n> again (the library finds its device
    // afresh) once per interval. True once it is open; false when the run was stopped first.
    bool Reconnect() {
        view_.SetBusyPointer(false);
        link_->CloseIrCom();
        view_.AppendStatus(kWaitingForPort);
        while (run_.IsRunning) {
            if (OpenLink() == 1) {
                deviceGone_ = false;
                view_.AppendStatus(kOpenSucceeded);
                errorCount_ = 0;
                return true;
            }
            WaitUnlessStopped(reconnectInterval_);
        }
        return false;
    }

    // Waits `interval`, ending at once when the run is stopped.
    void WaitUnlessStopped(std::chrono::milliseconds interval) {
        const auto deadline = std::chrono::steady_clock::now() + interval;
        while (run_.IsRunning) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                return;
            }
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(deadline - now, kStopCheckInterval));
        }
    }

    // One upload from TOP to the moment it goes to END.
    void Upload() {
        EnquiryAnswer answer;
        std::string answerLine;
        uploadBegun_ = false;
        if (waitingForTerminal_) {
            waitingForTerminal_();
        }
        const bool answered = Enquire(answer, answerLine);
        ClearWaiting();
        if (!answered) {
            return;
        }
        uploadBegun_ = true;
        BeginResult(answer);

        Send("ACK");
        if (deviceGone_) {
            return;
        }
        NameOutput(answer);
        announcedCount_ = answer.AnnouncedCount;
        view_.SetProgressMax(announcedCount_);
        view_.SetProgressValue(0);
        view_.SetProgressVisible(true);

        if (!OpenFiles(answerLine)) {
            return;
        }
        errorCount_ = 0;
        expectedSequence_ = '0';
        receivedCount_ = 0;
        ReceiveRecords();
    }

    // TOP, the clock setting and the enquiry, repeated until an answer is accepted (true) or the run must
    // go to END (false).
    bool Enquire(EnquiryAnswer& answer, std::string& answerLine) {
        const bool setClock = ClockSettingWanted(settings_.TimeAdjust);
        while (true) {
            view_.SetBusyPointer(false);

            if (setClock) {
                std::string reply;
                do {
                    if (!run_.IsRunning) {
                        return false;
                    }
                    ShowWaiting();
                    link_->ClearIrCom();
                    Send("TW" + ClockDigits(clock_()));
                    reply = Receive();
                    if (deviceGone_) {
                        return false;
                    }
                } while (reply != "OK");
            }

            if (!run_.IsRunning) {
                return false;
            }
            ShowWaiting();
            link_->ClearIrCom();
            Send("VOL");
            answerLine = Receive();
            if (deviceGone_) {
                return false;
            }
            if (answerLine.empty()) {
                continue;
            }
            ++errorCount_;
            FrameCheck result = CheckFrame(answerLine, '#', settings_.ChecksumCoverage);
            // The cause of a frame that passed the check and still cannot be served.
            std::string refusal;
            if (result == FrameCheck::Ok) {
                refusal = ReadEnquiryAnswer(answerLine, store_->NameUsesTerminalId(settings_), answer);
                result = refusal.empty() ? FrameCheck::Ok : FrameCheck::FormatError;
            }
            if (result == FrameCheck::Ok) {
                return true;
            }
            if (errorCount_ <= kBadLineLimit) {
                Send("NAK");
                continue;
            }
            Send("BEL");
            view_.Beep();
            view_.AppendStatus(result == FrameCheck::ChecksumError ? kEnquiryChecksumError
                                                                   : kEnquiryFormatError);
            if (!refusal.empty()) {
                view_.AppendStatus(refusal);
            }
            return false;
        }
    }

    // The waiting label, counted from the first enquiry of this upload; shown again only when the
    // whole seconds have changed.
    void ShowWaiting() {
        const long long now = SecondsOf(clock_());
        if (waitingSince_ < 0) {
            waitingSince_ = now;
        }
        const long long waited = std::max(0LL, now - waitingSince_);
        if (waited != waitingShown_) {
            waitingShown_ = waited;
            view_.SetWaitingLabel(WaitingText(waited));
        }
    }

    void ClearWaiting() {
        if (waitingSince_ >= 0) {
            waitingSince_ = -1;
            waitingShown_ = -1;
            view_.SetWaitingLabel("");
        }
    }

    void NameOutput(const EnquiryAnswer& answer) {
        const OutputName name = store_->NameOutput(settings_, run_, Cp932ToUtf8(answer.TerminalId), clock_());
        run_.OutputPath = name.OutputPath;
        run_.TableName = name.TableName;
        view_.SetFileLabel(name.FileLabel);
    }

    bool OpenFiles(const std::string& answerLine) {
        // The trailing "/" is dropped from the value in memory only; the settings file keeps it.
        settings_.SaveFolder = DropTrailingSlash(settings_.SaveFolder);
        view_.SetBusyPointer(true);
        FileError error;
        if (!backup_.OpenForWriting(ProgramFile(settings_, settings_.BackFilePath), error)) {
            FileFailure(kBackFileOpenTag, error);
            return false;
        }
        if (!log_.OpenForWriting(settings_.SaveFolder + "/" + kLogFileName, error)) {
            FileFailure(kLogFileOpenTag, error);
            return false;
        }
        // The count shown here is still the previous upload's after an automatic restart.
        WriteLog(answerLine);
        return true;
    }

    void ReceiveRecords() {
        while (true) {
            std::string line = Receive();
            if (!run_.IsRunning || deviceGone_) {
                return;
            }
            for (int receives = 1; line.empty() && receives < kReceivesPerPass; ++receives) {
                line = Receive();
                if (!run_.IsRunning || deviceGone_) {
                    return;
                }
            }

            WriteLog(line);
            ++errorCount_;
            if (line.empty() && errorCount_ < kEmptyReplyLimit) {
                Send("NAK");
                continue;
            }

            if (settings_.Protocol == UploadProtocol::Dedicated && IsRepeatOfPrevious(line)) {
                // The terminal missed our "ACK" and sent the stored record again.
                Send("ACK");
                errorCount_ = 0;
                continue;
            }

            if (line.empty()) {
                view_.Beep();
                view_.AppendStatus(kRecordTimeout);
                return;
            }

            if (line == "END") {
                // The records and the log go to disk before the writer runs, once per upload; a log
                // that cannot be synced is ignored like any failed log write.
                FileError syncError;
                const bool backupSynced = backup_.Sync(syncError);
                FileError ignored;
                log_.Sync(ignored);
                backup_.Close();
                log_.Close();
                if (!backupSynced) {
                    ReportStoreFailure(view_, syncError.Number, settings_.BackFilePath);
                } else {
                    prepared_ = store_->Prepare(settings_, run_, view_);
                    result_.Store = prepared_ != nullptr ? StoreState::NotReached : StoreState::Failed;
                }
                view_.SetProgressValue(announcedCount_);
                return;
            }

            if (settings_.Protocol == UploadProtocol::Simple) {
                if (!StoreRecord(line)) {
                    return;
                }
                continue;
            }

            const FrameCheck result = CheckFrame(line, expectedSequence_, settings_.ChecksumCoverage);
            if (result == FrameCheck::Ok) {
                if (!StoreRecord(std::string_view(line).substr(2, line.size() - 5))) {
                    return;
                }
                expectedSequence_ = expectedSequence_ == '9' ? '0' : static_cast<char>(expectedSequence_ + 1);
                continue;
            }
            if (errorCount_ <= kBadLineLimit) {
                Send("NAK");
                continue;
            }
            Send("BEL");
            view_.Beep();
            view_.AppendStatus(result == FrameCheck::ChecksumError ? kRecordChecksumError
                                                                   : kRecordFormatError);
            return;
        }
    }

    // The line starts with "^" and the sequence digit of the record stored last ("9" before "0").
    bool IsRepeatOfPrevious(std::string_view line) const {
        const char previous = expectedSequence_ == '0' ? '9' : static_cast<char>(expectedSequence_ - 1);
        return line.size() >= 2 && line[0] == '^' && line[1] == previous;
    }

    // Appends one accepted record to the backup, shows the progress and acknowledges it. False when the
    // run must go to END (the backup cannot be written, or the upload would exceed the record limit).
    bool StoreRecord(std::string_view record) {
        if (receivedCount_ >= kMaxRecords) {
            view_.Beep();
            view_.AppendStatus(kRecordCountOverflow);
            return false;
        }
        FileError error;
        if (!backup_.WriteLine(record, error)) {
            FileFailure(kBackFileWriteTag, error);
            return false;
        }
        ++receivedCount_;
        view_.ReplaceStatus(kRecordProgress + SignedCountText(receivedCount_) + "/" +
                            std::to_string(announcedCount_));
        // More records than announced keep the bar full.
        view_.SetProgressValue(std::min<int>(receivedCount_, announcedCount_));
        Send("ACK");
        errorCount_ = 0;
        return true;
    }

    // Mails the prepared store's attachment. False with MailErrorText set when it did not go.
    bool Mail() {
        run_.MailErrorText.clear();
        const MailAttachment attachment = prepared_->Attachment();
        if (attachment.Path.empty()) {
            run_.MailErrorText = FormatMailError({kMailErrorAttachment, attachment.Why, kMailSourceGathra});
            return false;
        }
        return SendByMail(settings_, run_, attachment.Path, attachment.Name, attachment.ContentType,
                          prepared_->MailSecondsCap());
    }

    // END: the store's last steps, the final answer and the upload's result.
    void EndUpload() {
        // The final reply goes out even when the device is gone: a line that still reaches the terminal
        // tells it not to clear its file. A device lost here is found by the next upload's first line.
        watchDevice_ = false;
        view_.SetProgressVisible(false);
        if (prepared_ != nullptr) {
            FinishStore();
        } else {
            AnswerCan();
        }
        prepared_.reset();
        backup_.Close();
        log_.Close();
        watchDevice_ = true;
        if (outcome_ != RunOutcome::PortNotOpened) {
            outcome_ = OutcomeOfUpload();
        }
        if (resultPending_) {
            EndResult();
        }
    }

    // After a prepared store: the mail, the commit, the final "ACK" and the keep, or the undo and "CAN" at
    // the first step that fails.
    void FinishStore() {
        if (settings_.SendMail == Switch::On) {
            if (!Mail()) {
                result_.Mail = run_.IsRunning ? MailOutcome::Failed : MailOutcome::Cancelled;
                view_.AppendStatus(settings_.MailAddress + kMailFailed + run_.MailErrorText);
                // The terminal keeps its file and sends it again: the store is undone, so that its
                // records are not stored twice.
                result_.Store = prepared_->Undo(view_);
                AnswerCan();
                return;
            }
            result_.Mail = MailOutcome::Sent;
            front_.AppendStatus(settings_.MailAddress + kMailDone);
            front_.Beep();
        }
        // The store becomes the output (durable) before the final "ACK".
        result_.Store = prepared_->Commit(view_);
        if (result_.Store != StoreState::Committed) {
            AnswerCan();
            return;
        }
        bool written = false;
        if (SendFinalAck(written)) {
            prepared_->Keep();
            result_.Answer = FinalAnswer::Ack;
            front_.AppendStatus(kNormalEndHead + std::to_string(announcedCount_) + kNormalEndTail);
            return;
        }
        // The terminal keeps its file and sends it again: the store is undone as for a failed mail.
        view_.Beep();
        view_.AppendStatus(kAckSendError);
        result_.Store = prepared_->Undo(view_);
        if (written) {
            result_.Answer = FinalAnswer::AckNotOut;
            front_.AppendStatus(kAbnormalEnd);
        } else {
            AnswerCan();
        }
    }

    // Writes the final "ACK" and tells whether it is out: written, and the device still there once the
    // answer's time on the wire and the settle time have passed (a library without IrComState: written).
    bool SendFinalAck(bool& written) {
        constexpr std::string_view kAck = "ACK";
        written = link_ != nullptr && SendLine(*link_, kAck);
        if (!written || link_->IrComState == nullptr) {
            return written;
        }
        // Ten bits per byte (start, eight data bits, stop), the CR included.
        const auto wire =
            std::chrono::microseconds((kAck.size() + 1) * 10 * 1000000LL / LineSpeed(settings_.Baud));
        std::this_thread::sleep_for(wire + answerSettle_);
        return link_->IrComState() == 1;
    }

    // "CAN" and the abnormal end (with the stop line after a stop).
    void AnswerCan() {
        result_.Answer = Send("CAN") ? FinalAnswer::Can : FinalAnswer::None;
        front_.AppendStatus(kAbnormalEnd);
        if (run_.StopRequested && !run_.IsRunning) {
            front_.AppendStatus(kStopPressed);
        }
    }

    void BeginResult(const EnquiryAnswer& answer) {
        resultPending_ = true;
        trail_.Mark();
        result_ = UploadResult{};
        result_.Started = SystemTimeOf(clock_());
        result_.Port = settings_.Port;
        result_.TerminalId = Cp932ToUtf8(answer.TerminalId);
        result_.RecordsAnnounced = answer.AnnouncedCount;
        result_.Format = store_->Word();
    }

    // The result of the upload that just had its final answer, to the front end. What each step decided
    // stands; only what follows from it is filled in here.
    void EndResult() {
        resultPending_ = false;
        UploadResult& result = result_;
        result.Ended = SystemTimeOf(clock_());
        result.Output = run_.OutputPath;
        result.Table = run_.TableName;
        const bool kept = result.Store == StoreState::Committed;
        result.RecordsStored = kept ? receivedCount_ : 0;
        result.Outcome = kept              ? UploadOutcome::Stored
                         : deviceGone_     ? UploadOutcome::DeviceGone
                         : !run_.IsRunning ? UploadOutcome::Stopped
                                           : UploadOutcome::Failed;
        if (!(kept && result.Answer == FinalAnswer::Ack)) {
            std::vector<std::string> lines = trail_.Lines();
            if (lines.empty() && result.Outcome == UploadOutcome::Stopped) {
                lines.push_back(kStopPressed);
            }
            for (const std::string& line : lines) {
                result.FailureText += (result.FailureText.empty() ? "" : " / ") + line;
            }
        }
        if (uploadEnded_) {
            uploadEnded_(result);
        }
    }

    // How the run stands after the upload that just went to END.
    RunOutcome OutcomeOfUpload() const {
        if (resultPending_ && result_.Answer == FinalAnswer::Ack) {
            return RunOutcome::Stored;
        }
        if (!run_.IsRunning) {
            return uploadBegun_ ? RunOutcome::StoppedMidUpload : RunOutcome::StoppedIdle;
        }
        return RunOutcome::Failed;
    }

    void FileFailure(const char* tag, const FileError& error) {
        view_.Beep();
        view_.AppendStatus(FileErrorLine(tag, error));
    }

    void WriteLog(std::string_view line) {
        // A log line that cannot be written does not stop the upload.
        FileError ignored;
        log_.WriteLine(FormatLogLine(clock_(), receivedCount_, line), ignored);
    }

    // True when the line was written.
    bool Send(std::string_view text) {
        // After a failed open (or without the library) the final "CAN" has no port to go to.
        if (link_ != nullptr && SendLine(*link_, text)) {
            return true;
        }
        if (link_ != nullptr) {
            NoteFailedTransfer();
        }
        return false;
    }

    // A line, or the empty text on a time-out or once the device is gone (then without asking the port).
    std::string Receive() {
        if (deviceGone_) {
            return {};
        }
        std::string line = ReceiveLine(*link_);
        if (line.empty()) {
            NoteFailedTransfer();
        }
        return line;
    }

    // After a read or write that failed: a device that is gone (not merely silent) ends the upload. A
    // library without IrComState never reports it.
    void NoteFailedTransfer() {
        if (deviceGone_ || !watchDevice_ || link_->IrComState == nullptr) {
            return;
        }
        if (link_->IrComState() == -1) {
            deviceGone_ = true;
            view_.Beep();
            view_.AppendStatus(kPortDisconnected);
        }
    }

    StatusTrail trail_;  // the front end's view, keeping the lines of the current upload
    SettingsRecord& settings_;
    RunState& run_;
    OperatorView& view_;   // the trail: what the operator is shown about a failure goes here
    OperatorView& front_;  // the front end's view itself, for the lines that tell of no failure
    const LinkApi* link_;
    PcClock clock_;
    std::string programFolder_;
    std::chrono::milliseconds reconnectInterval_;
    std::chrono::milliseconds answerSettle_;
    std::function<void(const UploadResult&)> uploadEnded_;
    bool stopBeforeTerminal_;  // the run ends once the port is open, before the first line
    std::function<void()> waitingForTerminal_;
    int32_t openResult_ = 0;       // what the link's open of the run answered
    long long waitingSince_ = -1;  // the first enquiry of the upload, in SecondsOf; -1 when none
    long long waitingShown_ = -1;  // the seconds the waiting label shows

    std::unique_ptr<OutputStore> store_;       // the run's store, decoded once from the settings
    std::unique_ptr<PreparedStore> prepared_;  // the current upload's store, from "END" to its final answer
    LineFile backup_;
    LineFile log_;

    // 16-bit signed like the counts of the terminal protocol. ErrorCount and ReceivedCount carry over
    // into an upload begun by the automatic restart.
    int16_t errorCount_ = 0;
    int16_t announcedCount_ = 0;
    int16_t receivedCount_ = 0;
    char expectedSequence_ = '0';
    bool uploadBegun_ = false;  // the current upload's enquiry answer was accepted
    bool deviceGone_ = false;   // the port's device went away; the port waits to be opened again
    bool watchDevice_ = true;   // failed transfers are examined (not while the final reply goes out)
    RunOutcome outcome_ = RunOutcome::StoppedIdle;
    bool resultPending_ = false;  // an upload got past the enquiry and its result is not handed on yet
    UploadResult result_;
};

}  // namespace

RunOutcome RunUpload(UploadContext& context) {
    UploadRun run(context);
    return run.Run();
}
