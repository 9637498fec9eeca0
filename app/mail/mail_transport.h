#pragma once

#include <functional>
#include <optional>
#include <string>

#include "mail/mail_message.h"

// One mail over SMTP (libcurl): an empty text body and one file attached in base64. The call blocks
// until the server has accepted the message for delivery or the dialogue has failed, bounded by the
// time-outs below. The server's certificate is checked whenever TLS is used; MailTls says when it is.

// How the mail is protected on its way to the server (the MailTls setting).
enum class MailTls {
    // STARTTLS when the server offers it; a server without it gets the mail in plain text, as most
    // in-house relays expect. Anyone on the way can remove the offer.
    StartTlsWhenOffered = 0,
    // STARTTLS or no mail: a server that does not offer it gets nothing.
    StartTlsRequired = 1,
    // TLS from the first byte (smtps, port 465 unless the server setting names another).
    Implicit = 2,
};

struct MailRequest {
    std::string To;              // recipient (one address)
    std::string From;            // sender
    std::string Subject;         // UTF-8; may be empty
    std::string AttachmentPath;  // the file to attach
    std::string AttachmentName;  // the name it carries in the mail; empty: the file's own name
    std::string AttachmentType;  // its content type (the store's); empty: application/octet-stream
    std::string Server;          // "host" or "host:port"
    MailTls Tls = MailTls::StartTlsWhenOffered;
    // Asked while the dialogue runs (at least about once a second, also while the server is silent);
    // false cancels the mail: the failure is libcurl's "aborted by callback" (42). Empty: never cancelled.
    std::function<bool()> KeepGoing;
};

struct MailLimits {
    long ConnectTimeoutSeconds = 15;
    // Whole dialogue: this much plus one second per AttachmentBytesPerSecond bytes of attachment, so
    // that a large database file on a slow line is not cut off while a silent server still is.
    long TransferTimeoutSeconds = 60;
    long AttachmentBytesPerSecond = 64 * 1024;
    long MaxTransferTimeoutSeconds = 10 * 60;  // the cap, however large the attachment
    std::string CaFile;  // certificates to trust for STARTTLS; empty = the system's store
};

// The time-out of the whole dialogue for an attachment of `attachmentBytes`.
long TransferTimeoutFor(const MailLimits& limits, long long attachmentBytes);

// Sends the mail; returns nothing on success, otherwise the failure with number, description and
// source. Refuses (before any connection) texts that could inject header lines or SMTP commands, a
// malformed server setting, and an attachment that cannot be read.
std::optional<MailFailure> SendMailOverSmtp(const MailRequest& request, const MailLimits& limits = {});

// Sets one option on a libcurl easy handle (`easy` is a CURL*) and turns a refusal into the mail failure
// that names the option: an option this build of libcurl lacks is a failure, never a silent downgrade.
// The dispatch sets every option through these.
std::optional<MailFailure> SetMailOption(void* easy, int option, const char* name, long value);
std::optional<MailFailure> SetMailOption(void* easy, int option, const char* name, const void* value);
