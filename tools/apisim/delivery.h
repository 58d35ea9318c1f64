// The stand-in's outbox: mails (API_SMTP_Send_Text, API_SMTP_Send_Attach) and
// uploads (API_Net_FTPContextPut) delivered for real, with libcurl.
//
// A sending command is answered at once: the delivery, with the mail or FTP
// settings as they are at the call, is queued and made by a worker thread.
// Each queued delivery is a file in the spool folder beside the state file
// (written, synced and renamed into place; removed once delivered or given
// up), so it survives a restart and is never made again after it succeeded.
// Failed attempts are retried on a bounded schedule when the failure may pass
// (no connection, a time-out, a 4xx answer); a refusal (5xx, a wrong
// password, a refused certificate, a missing file) ends the delivery at once.
// Every attempt's outcome is one line: on standard error (the log), on
// standard output with --trace, and to every outcome listener.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "buf_def.h"

namespace apisim {

struct DeliveryOptions {
    std::string spool;    // folder of queued deliveries; empty: kept in memory only
    std::string ca_file;  // trusted CA certificates (PEM); empty: $APISIM_CA_FILE, else the system's
    std::vector<double> retry_after{10, 60, 300};  // seconds before the second, third ... attempt
    double timeout = 60;  // seconds that one attempt may take
    bool trace = false;   // outcome lines on standard output too
};

// Takes the delivery option at argv[i] (and its value, advancing i): false
// when argv[i] is not one. A bad value sets `error`.
bool parse_delivery_option(int argc, char** argv, int& i, DeliveryOptions& options, std::string& error);

// Opens the spool (what an earlier run left queued is delivered first) and
// starts the worker. False, with `error`, when the spool or the CA file
// cannot be used.
bool start_deliveries(const DeliveryOptions& options, std::string& error);
// Stops the worker (an attempt under way is broken off and stays queued).
void stop_deliveries();

// The sending commands 64, 65 and 80: queues the delivery with the settings
// of `rec`. `args` receives the decoded request for the trace line; the
// result is the trace line's outcome ("queued as delivery #7"). `caller` is
// the process that asked (0: unknown): an attachment or upload is read with
// the rights it had at the call, never with apisim's own.
std::string queue_delivery(int command, const char* mtext, const BUFFER_ENCODE_T& rec, std::string& args,
                           pid_t caller = 0);

// Called with every outcome line, on the worker thread (or on the serving
// thread, for a request refused at once).
using OutcomeListener = std::function<void(const std::string& line)>;
void add_outcome_listener(OutcomeListener listener);

// The queued deliveries and the last outcomes (newest last): one text line
// each, or one JSON object {"queued":[...],"recent":[...]}.
std::vector<std::string> outbox_lines();
std::string outbox_json();

// ---- pieces with rules of their own, open to the tests ----
namespace delivery {

// The receivers text: addresses separated by commas, semicolons or white
// space, each optionally in angle brackets. False, with `error`, when one is
// not a plain address or there is none.
bool split_receivers(const std::string& text, std::vector<std::string>& out, std::string& error);
bool plain_address(const std::string& address);

// The attachment request "subject,content,path": the subject ends at the
// first comma, the path begins after the last one.
bool split_attach_request(const char* text, std::string& subject, std::string& content, std::string& path);

// The MIME type of an attachment, from its name, else from its first bytes.
const char* guess_mime_type(const std::string& name, const unsigned char* head, size_t head_size);

// A header value as it goes into the mail: control characters become spaces,
// and a value with other than printable ASCII becomes RFC 2047 words, in
// UTF-8 when it is UTF-8 and in UNKNOWN-8BIT (RFC 1428) when it is not: the
// bytes are kept and nothing claims what they are not.
std::string header_text(const std::string& value);


// One queued delivery, as the spool keeps it.
enum class Kind { Text, Attach, Upload };
struct Job {
    uint64_t id = 0;
    Kind kind = Kind::Text;
    int attempts = 0;      // made so far
    int64_t queued = 0;    // when the call came, seconds since the epoch
    std::string message_id;
    // The settings when the call came.
    std::string server, user, password;
    int32_t port = 0;
    int32_t ssl = 0, auth = 0;  // mails
    std::string from, to;       // mails
    std::string folder;         // uploads
    int32_t passive = 0;        // uploads
    // The request.
    std::string subject, content, file;
    // Whose rights read the file: the caller's ids at the call.
    bool caller_known = false;
    uint32_t uid = 0, gid = 0;
    std::vector<uint32_t> groups;
};
std::string encode_job(const Job& job);
// The credentials of a running process from /proc: false when not known.
bool caller_of(pid_t pid, Job& job);
bool decode_job(const std::string& text, Job& job, std::string& error);

// `text` with every occurrence of the secret (and of the forms a login
// sends it in) replaced by "***".
std::string without_secret(std::string text, const std::string& user, const std::string& secret);

}  // namespace delivery
}  // namespace apisim
