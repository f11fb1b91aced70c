#ifndef KELVOR_KELVOR_H
#define KELVOR_KELVOR_H

/* The library's C interface (C11): the same facade as kelvor/Quorvel.hpp, for hosts written in C
 * or in any language that can call C (Rust, Go, C#, Python, ...). Its binary interface is stable
 * within one SOVERSION (see the README).
 *
 * Rules that hold for every function here:
 * - No function lets a C++ exception out and none blocks longer than its C++ twin.
 * - Text is UTF-8 and NUL-terminated. Where the C++ call takes a map, the C call takes the text
 *   of a JSON object; text that is not JSON is refused with KELVOR_E_INVALID_JSON, JSON that is
 *   not an object with KELVOR_E_INVALID_ARGUMENT, each with an error line, and nothing happens.
 * - A NULL that the description does not allow is refused with KELVOR_E_INVALID_ARGUMENT and an
 *   error line.
 * - The calls on the library itself (all but the options, kelvor_initialize, the log callback,
 *   kelvor_version and kelvor_free) answer KELVOR_E_NOT_INITIALIZED, after checking their
 *   arguments, until a kelvor_initialize has answered KELVOR_INIT_READY, and
 *   KELVOR_E_SHUT_DOWN (doing nothing) after kelvor_shutdown, kelvor_delivery_stats excepted.
 * - Strings the library returns are either owned by the library (const char*, say how long they
 *   stay valid) or the caller's to release with kelvor_free (char*). */

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <kelvor/export.hpp>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum kelvor_status {
  KELVOR_OK = 0,
  KELVOR_E_INVALID_ARGUMENT = 1, /* a NULL not allowed, or JSON that is not an object */
  KELVOR_E_INVALID_JSON = 2,     /* text that is not valid JSON */
  KELVOR_E_NOT_INITIALIZED = 3,  /* no successful kelvor_initialize yet */
  KELVOR_E_INCOMPLETE = 4,       /* flush or shutdown did not deliver everything (see stats) */
  KELVOR_E_INTERNAL = 5,         /* anything else; an error line says what */
  KELVOR_E_SHUT_DOWN = 6         /* kelvor_shutdown ran: nothing is taken in this process */
} kelvor_status;

/* What kelvor_initialize did; the same values as kelvor::InitializeStatus. */
typedef enum kelvor_init_status {
  KELVOR_INIT_READY = 0,
  KELVOR_INIT_ALREADY_INITIALIZED = 1,
  KELVOR_INIT_NO_OPTIONS = 2,
  KELVOR_INIT_INVALID_WRITE_KEY = 3,
  KELVOR_INIT_UNUSABLE_DIRECTORY = 4,
  KELVOR_INIT_REFUSED_ENDPOINT = 5,
  KELVOR_INIT_STORE_UNAVAILABLE = 6,
  KELVOR_INIT_STORE_FROM_NEWER_VERSION = 7,
  KELVOR_INIT_UNUSABLE_CA_BUNDLE = 8,
  KELVOR_INIT_FAILED = 9
} kelvor_init_status;

typedef enum kelvor_log_level {
  KELVOR_LOG_DEBUG = 0,
  KELVOR_LOG_INFO = 1,
  KELVOR_LOG_WARNING = 2,
  KELVOR_LOG_ERROR = 3
} kelvor_log_level;

typedef enum kelvor_tracking_status {
  KELVOR_TRACKING_NOT_DETERMINED = 0,
  KELVOR_TRACKING_RESTRICTED = 1,
  KELVOR_TRACKING_DENIED = 2,
  KELVOR_TRACKING_AUTHORIZED = 3
} kelvor_tracking_status;

typedef enum kelvor_failure_reason {
  KELVOR_FAILURE_NONE = 0,
  KELVOR_FAILURE_NAME_RESOLUTION = 1,
  KELVOR_FAILURE_CONNECTION_REFUSED = 2,
  KELVOR_FAILURE_TLS = 3,
  KELVOR_FAILURE_TIMEOUT = 4,
  KELVOR_FAILURE_HTTP_STATUS = 5,
  KELVOR_FAILURE_OTHER = 6
} kelvor_failure_reason;

/* The version of the library loaded, "1.4.0". Owned by the library, valid for ever. */
KELVOR_EXPORT const char* kelvor_version(void);

/* Releases a string the library returned as char*. NULL does nothing. */
KELVOR_EXPORT void kelvor_free(void* text);

/* ---- Options ------------------------------------------------------------------------------ */

/* The fourteen options of kelvor::QuorvelOption. Each setter logs its value (the write key
 * masked) as the C++ builder does. An options object handed to kelvor_initialize stays in force
 * after kelvor_options_free: the library keeps its own reference and reads it at each use. */
typedef struct kelvor_options kelvor_options;

/* A new options object with the defaults, or NULL when memory runs out. */
KELVOR_EXPORT kelvor_options* kelvor_options_new(void);
/* Releases the caller's handle. NULL does nothing. */
KELVOR_EXPORT void kelvor_options_free(kelvor_options* options);

/* Each answers KELVOR_E_INVALID_ARGUMENT for a NULL options or text, else KELVOR_OK. */
KELVOR_EXPORT kelvor_status kelvor_options_set_write_key(kelvor_options* options, const char* key);
KELVOR_EXPORT kelvor_status kelvor_options_set_logging(kelvor_options* options, bool value);
KELVOR_EXPORT kelvor_status kelvor_options_set_optout(kelvor_options* options, bool value);
KELVOR_EXPORT kelvor_status kelvor_options_set_use_consent(kelvor_options* options, bool value);
KELVOR_EXPORT kelvor_status kelvor_options_set_check_for_cmp(kelvor_options* options, bool value);
KELVOR_EXPORT kelvor_status kelvor_options_set_are_identities_hashed(kelvor_options* options,
                                                                     bool value);
KELVOR_EXPORT kelvor_status kelvor_options_set_hash_identities(kelvor_options* options, bool value);
KELVOR_EXPORT kelvor_status kelvor_options_set_user_country(kelvor_options* options,
                                                            const char* code);
KELVOR_EXPORT kelvor_status kelvor_options_set_batch_size(kelvor_options* options, int64_t value);
KELVOR_EXPORT kelvor_status kelvor_options_set_max_cache_size(kelvor_options* options,
                                                              int64_t value);
KELVOR_EXPORT kelvor_status kelvor_options_set_event_upload_interval(kelvor_options* options,
                                                                     int64_t seconds);
/* purposes may be NULL when count is 0. */
KELVOR_EXPORT kelvor_status kelvor_options_set_purposes_for_tracking(kelvor_options* options,
                                                                     const int* purposes,
                                                                     size_t count);
KELVOR_EXPORT kelvor_status kelvor_options_set_purposes_for_identifying(kelvor_options* options,
                                                                        const int* purposes,
                                                                        size_t count);
KELVOR_EXPORT kelvor_status kelvor_options_set_check_kelvor_vendor_consent(kelvor_options* options,
                                                                           bool value);

/* ---- Start and stop ----------------------------------------------------------------------- */

/* Normalises the options (as build() does) and starts the library with them; NULL answers
 * KELVOR_INIT_NO_OPTIONS. A call that did not answer READY may be repeated. */
KELVOR_EXPORT kelvor_init_status kelvor_initialize(kelvor_options* options);
/* What the last kelvor_initialize on this thread said, empty when it answered READY. Owned by
 * the library, valid until the next kelvor_initialize on this thread. */
KELVOR_EXPORT const char* kelvor_initialize_message(void);

/* Sends everything handed over before the call and waits at most limit_ms: KELVOR_OK when all
 * of it was accepted (or dropped by a documented rule), else KELVOR_E_INCOMPLETE. */
KELVOR_EXPORT kelvor_status kelvor_flush(int64_t limit_ms);
/* kelvor_flush(limit_ms), then stops the library for good: later calls do nothing and answer
 * KELVOR_E_SHUT_DOWN (kelvor_delivery_stats still answers). What was not sent goes at the next
 * start. */
KELVOR_EXPORT kelvor_status kelvor_shutdown(int64_t limit_ms);

/* ---- Events and properties ---------------------------------------------------------------- */

/* name must not be NULL; properties_json may be NULL (no properties). */
KELVOR_EXPORT kelvor_status kelvor_report(const char* name, const char* properties_json);
/* The same, sent at once instead of with the next batch. */
KELVOR_EXPORT kelvor_status kelvor_report_instant(const char* name, const char* properties_json);

/* Each takes the text of a JSON object (not NULL). */
KELVOR_EXPORT kelvor_status kelvor_set_user_properties(const char* properties_json);
KELVOR_EXPORT kelvor_status kelvor_set_user_identities(const char* identities_json);
KELVOR_EXPORT kelvor_status kelvor_set_page_properties(const char* properties_json);
KELVOR_EXPORT kelvor_status kelvor_unset_user_identities(void);

KELVOR_EXPORT kelvor_status kelvor_pause_collection(void);
KELVOR_EXPORT kelvor_status kelvor_resume_collection(void);

/* ---- Identity ----------------------------------------------------------------------------- */

/* Sets *ki to the library's identifier, the caller's to release with kelvor_free; *ki is NULL
 * on any answer but KELVOR_OK. ki must not be NULL. */
KELVOR_EXPORT kelvor_status kelvor_get_ki(char** ki);
KELVOR_EXPORT kelvor_status kelvor_reset_ki(void);
/* ki must not be NULL. */
KELVOR_EXPORT kelvor_status kelvor_set_ki(const char* ki);

KELVOR_EXPORT kelvor_status kelvor_set_advertising_id_by_att_status(kelvor_tracking_status status);
/* advertising_id must not be NULL. */
KELVOR_EXPORT kelvor_status kelvor_set_att_status_and_advertising_id(kelvor_tracking_status status,
                                                                     const char* advertising_id);

/* ---- Consent ------------------------------------------------------------------------------ */

/* The app's decision, e.g. {"track": true, "identify": false}. */
KELVOR_EXPORT kelvor_status kelvor_set_consent(const char* consent_json);
KELVOR_EXPORT kelvor_status kelvor_clear_consent_from_storage(void);

/* Called when the library needs the user's decision: at once on this thread when it already
 * asked, else later on the thread that resolves consent. It may call kelvor_set_consent. */
typedef void (*kelvor_consent_callback)(void* user_data);
/* callback must not be NULL; user_data is passed back as given. */
KELVOR_EXPORT kelvor_status kelvor_listen_to_ask_for_consent(kelvor_consent_callback callback,
                                                             void* user_data);

/* ---- Logs --------------------------------------------------------------------------------- */

/* Receives every log entry the library writes, from any thread, often at once: it must be
 * thread-safe and must not call the library. text ("[Kelvor] - <message>") is valid only during
 * the call. */
typedef void (*kelvor_log_callback)(kelvor_log_level level, const char* text, void* user_data);
/* Installs callback in place of standard error; NULL puts standard error back. May be called at
 * any time, before kelvor_initialize too. */
KELVOR_EXPORT kelvor_status kelvor_set_log_callback(kelvor_log_callback callback, void* user_data);

/* ---- Delivery ----------------------------------------------------------------------------- */

/* What became of the events since the library started (kelvor::DeliveryStats). New fields are
 * only ever added at the end: set size to sizeof(struct kelvor_delivery_stats) before the call,
 * and the library fills in what both it and the caller know. Named as struct stat is, beside its
 * function. */
struct kelvor_delivery_stats {
  size_t size;
  uint64_t reported;
  uint64_t stored;
  uint64_t sent;
  uint64_t dropped_by_cache_cap;
  uint64_t dropped_refused;
  uint64_t dropped_undecodable;
  uint64_t dropped_by_consent;
  uint64_t refused_invalid;
  uint64_t failed_attempts;
  int64_t pending;
  int64_t last_failure_status;
  int64_t last_failure_time_ms; /* milliseconds since 1970, 0 when none */
  kelvor_failure_reason last_failure_reason;
  char last_failure_detail[256]; /* NUL-terminated, shortened when longer */

  uint64_t dropped_by_filter;     /* by the event filter, or because it failed */
  uint64_t dropped_by_rate_limit; /* reported faster than kelvor_set_event_rate_limit allows */
};

/* stats must not be NULL and stats->size must cover at least the counters up to pending. */
KELVOR_EXPORT kelvor_status kelvor_delivery_stats(struct kelvor_delivery_stats* stats);

/* Off by default: on one of these signals (e.g. SIGTERM, SIGINT, SIGHUP) what was reported is
   stored within the exit bound, then the previous disposition is restored and the signal raised
   again, so the host's own handler or the default action happens once
   (kelvor::Platform::storeOnSignals). signals may be NULL only when count is 0. */
KELVOR_EXPORT kelvor_status kelvor_store_on_signals(const int* signals, size_t count);

/* ---- What leaves the device -------------------------------------------------------------- */

/* Sees each event once, as it would go on the wire: record_json is the JSON text of
 * {"eventUUID", "event" (eventName, eventTimestamp and the properties), "page" (only when set),
 * "user", "version"}, valid only during the call. Return the record to store and send, changed
 * or not, as JSON text in memory from malloc() (strdup(record_json) keeps it as it is): the
 * library releases it with free(). Return NULL, or the text "drop" (from malloc() too), to drop
 * the event. A changed eventUUID is ignored. Text that is not such a record drops the event with
 * an error line. It runs on the library's own thread, one call at a time, never on the thread
 * that reported; it must not call the library. */
typedef char* (*kelvor_event_filter)(const char* record_json, void* user_data);
/* Installs the filter for every event, internal and instant ones included; NULL removes it. Call
 * it before kelvor_initialize, which reads it; it answers KELVOR_OK at any time. Dropped events are
 * counted in dropped_by_filter. */
KELVOR_EXPORT kelvor_status kelvor_set_event_filter(kelvor_event_filter filter, void* user_data);
/* Off by default. Each event name may be reported burst times at once and per_second times a
 * second after that; reports beyond are dropped at the call, counted in dropped_by_rate_limit and
 * named in a warning line at most once a minute per name. per_second of 0 or below turns the
 * limit off; a burst below 1 is taken as 1. Call it before kelvor_initialize. */
KELVOR_EXPORT kelvor_status kelvor_set_event_rate_limit(double per_second, double burst);

#ifdef __cplusplus
}
#endif

#endif /* KELVOR_KELVOR_H */
