#pragma once

#include <string>
#include <string_view>

#include "run/upload_result.h"

// The words the journal keeps for an upload's result and for the command after it, as scripts read them
// (`--history --csv`): written and read here only. An entry of an older version has no answer and no
// store word; they read as what its outcome implies.

// "stored", "failed", "stopped", "device-gone"; an unknown word reads as Failed.
std::string OutcomeWord(UploadOutcome outcome);
UploadOutcome OutcomeOfWord(std::string_view word);

// "ack", "can", "none", "ack-not-out"; the empty word of an older entry: "ack" for a stored upload,
// otherwise "can".
std::string AnswerWord(FinalAnswer answer);
FinalAnswer AnswerOfWord(std::string_view word, UploadOutcome outcome);

// "not-reached", "committed", "undone", "failed", "undo-failed"; the empty word of an older entry:
// "committed" for a stored upload, otherwise "not-reached".
std::string StoreWord(StoreState store);
StoreState StoreOfWord(std::string_view word, UploadOutcome outcome);

// "" (not asked), "sent", "failed", "cancelled".
std::string MailWord(MailOutcome mail);
MailOutcome MailOfWord(std::string_view word);

// How the command after an upload ended.
enum class CommandEnd { Exited, Signalled, TimedOut, NotStarted, Failed, Skipped, Cancelled };
// "exit N", "signal N", "timed out", "not started", "failed" (its end could not be followed), "skipped",
// "cancelled" (N the status or signal).
std::string CommandWord(CommandEnd end, int status = 0);
