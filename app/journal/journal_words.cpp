#include "journal/journal_words.h"

#include <utility>

namespace {

template <class Value, size_t N>
std::string WordOf(const std::pair<Value, const char*> (&words)[N], Value value) {
    for (const auto& [known, word] : words) {
        if (known == value) {
            return word;
        }
    }
    return words[0].second;
}

template <class Value, size_t N>
Value ValueOf(const std::pair<Value, const char*> (&words)[N], std::string_view word, Value otherwise) {
    for (const auto& [value, known] : words) {
        if (word == known) {
            return value;
        }
    }
    return otherwise;
}

const std::pair<UploadOutcome, const char*> kOutcomes[] = {
    {UploadOutcome::Failed, "failed"},
    {UploadOutcome::Stored, "stored"},
    {UploadOutcome::Stopped, "stopped"},
    {UploadOutcome::DeviceGone, "device-gone"},
};

const std::pair<FinalAnswer, const char*> kAnswers[] = {
    {FinalAnswer::None, "none"},
    {FinalAnswer::Ack, "ack"},
    {FinalAnswer::Can, "can"},
    {FinalAnswer::AckNotOut, "ack-not-out"},
};

const std::pair<StoreState, const char*> kStores[] = {
    {StoreState::NotReached, "not-reached"}, {StoreState::Committed, "committed"},
    {StoreState::Undone, "undone"},          {StoreState::Failed, "failed"},
    {StoreState::UndoFailed, "undo-failed"},
};

const std::pair<MailOutcome, const char*> kMails[] = {
    {MailOutcome::NotAsked, ""},
    {MailOutcome::Sent, "sent"},
    {MailOutcome::Failed, "failed"},
    {MailOutcome::Cancelled, "cancelled"},
};

}  // namespace

std::string OutcomeWord(UploadOutcome outcome) {
    return WordOf(kOutcomes, outcome);
}

UploadOutcome OutcomeOfWord(std::string_view word) {
    return ValueOf(kOutcomes, word, UploadOutcome::Failed);
}

std::string AnswerWord(FinalAnswer answer) {
    return WordOf(kAnswers, answer);
}

FinalAnswer AnswerOfWord(std::string_view word, UploadOutcome outcome) {
    const FinalAnswer implied = outcome == UploadOutcome::Stored ? FinalAnswer::Ack : FinalAnswer::Can;
    return ValueOf(kAnswers, word, implied);
}

std::string StoreWord(StoreState store) {
    return WordOf(kStores, store);
}

StoreState StoreOfWord(std::string_view word, UploadOutcome outcome) {
    const StoreState implied =
        outcome == UploadOutcome::Stored ? StoreState::Committed : StoreState::NotReached;
    return ValueOf(kStores, word, implied);
}

std::string MailWord(MailOutcome mail) {
    return WordOf(kMails, mail);
}

MailOutcome MailOfWord(std::string_view word) {
    return ValueOf(kMails, word, MailOutcome::NotAsked);
}

std::string CommandWord(CommandEnd end, int status) {
    switch (end) {
        case CommandEnd::Exited:
            return "exit " + std::to_string(status);
        case CommandEnd::Signalled:
            return "signal " + std::to_string(status);
        case CommandEnd::TimedOut:
            return "timed out";
        case CommandEnd::NotStarted:
            return "not started";
        case CommandEnd::Failed:
            return "failed";
        case CommandEnd::Skipped:
            return "skipped";
        case CommandEnd::Cancelled:
            break;
    }
    return "cancelled";
}
