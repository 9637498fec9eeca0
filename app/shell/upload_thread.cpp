#include "shell/upload_thread.h"

#include <QMetaObject>

UploadThread::UploadThread(QObject& window, OperatorView& target, AskOperator ask, RunState& run, Start start,
                           std::function<void()> finished)
    : window_(window),
      target_(target),
      ask_(std::move(ask)),
      run_(run),
      finished_(std::move(finished)),
      fileLabel_(start.FileLabel) {
    thread_ = std::thread([this, start = std::move(start)]() mutable { Main(std::move(start)); });
}

UploadThread::~UploadThread() {
    Abandon();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void UploadThread::Abandon() {
    run_.IsRunning = false;
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    answered_.notify_all();
}

void UploadThread::Main(Start start) {
    const LinkApi* link = nullptr;
    try {
        if (start.BindLink) {
            link = start.BindLink(start.ProgramFolder);
        }
        UploadContext context{start.Settings, run_, *this, link,
                              start.Clock ? start.Clock : PcClock(SystemClock)};
        context.UploadEnded = start.UploadEnded;
        context.ProgramFolder = start.ProgramFolder;
        if (start.RunUpload) {
            start.RunUpload(context);
        }
    } catch (...) {
        // The engine reports its own failures; an escaped exception still ends the run as the engine would.
        run_.IsRunning = false;
        SetRunning(false);
    }
    Post([done = finished_] {
        if (done) {
            done();
        }
    });
}

void UploadThread::Post(std::function<void()> call) {
    QMetaObject::invokeMethod(&window_, std::move(call), Qt::QueuedConnection);
}

bool UploadThread::MessagePending() const {
    std::lock_guard lock(mutex_);
    return messagesAsked_ > messagesAnswered_;
}

void UploadThread::ReplaceStatus(const std::string& text) {
    Post([this, text] { target_.ReplaceStatus(text); });
}

void UploadThread::AppendStatus(const std::string& text) {
    Post([this, text] { target_.AppendStatus(text); });
}

void UploadThread::SetRunning(bool running) {
    Post([this, running] { target_.SetRunning(running); });
}

void UploadThread::SetFileLabel(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        fileLabel_ = text;
    }
    Post([this, text] { target_.SetFileLabel(text); });
}

std::string UploadThread::FileLabel() const {
    std::lock_guard lock(mutex_);
    return fileLabel_;
}

void UploadThread::SetProgressMax(int max) {
    Post([this, max] { target_.SetProgressMax(max); });
}

void UploadThread::SetProgressValue(int value) {
    Post([this, value] { target_.SetProgressValue(value); });
}

void UploadThread::SetProgressVisible(bool visible) {
    Post([this, visible] { target_.SetProgressVisible(visible); });
}

void UploadThread::SetBusyPointer(bool busy) {
    Post([this, busy] { target_.SetBusyPointer(busy); });
}

void UploadThread::SetWaitingLabel(const std::string& text) {
    Post([this, text] { target_.SetWaitingLabel(text); });
}

void UploadThread::Beep() {
    Post([this] { target_.Beep(); });
}

void UploadThread::ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) {
    std::unique_lock lock(mutex_);
    if (abandoned_) {
        return;
    }
    const uint64_t ticket = ++messagesAsked_;
    lock.unlock();
    Post([this, title, text, icon, ticket] {
        ask_(title, text, icon, [this, ticket] {
            {
                std::lock_guard answer(mutex_);
                messagesAnswered_ = std::max(messagesAnswered_, ticket);
            }
            answered_.notify_all();
        });
    });
    lock.lock();
    answered_.wait(lock, [this, ticket] { return abandoned_ || messagesAnswered_ >= ticket; });
}
