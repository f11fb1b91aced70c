/* Every function and every answer of the C interface, from a C11 host. Run by capi_check.py,
 * which points the library at a collector (KELVOR_INGESTION_URL, KELVOR_CA_BUNDLE) and checks
 * afterwards that the events below arrived with their properties. */
#define _POSIX_C_SOURCE 200809L /* setenv */

#include <kelvor/kelvor.h>
#include <kelvor/version.hpp>

#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

static void expect(int ok, const char* what, int line) {
  if (!ok) {
    fprintf(stderr, "capi_test:%d: FAILED %s\n", line, what);
    ++failures;
  }
}
#define EXPECT(condition) expect((condition) ? 1 : 0, #condition, __LINE__)
#define EXPECT_STATUS(call, status) expect((call) == (status), #call " == " #status, __LINE__)

/* Log lines by what they say; the library calls from its own threads too. */
static atomic_int lines, invalidJsonLines, notObjectLines, nullLines, wrongUserData;
static int logMarker, consentMarker;
static atomic_int consentAsked;

static void onLog(kelvor_log_level level, const char* text, void* userData) {
  if (userData != &logMarker) atomic_fetch_add(&wrongUserData, 1);
  atomic_fetch_add(&lines, 1);
  if (level != KELVOR_LOG_ERROR) return;
  if (strstr(text, "is not valid JSON")) atomic_fetch_add(&invalidJsonLines, 1);
  if (strstr(text, "expects a JSON object")) atomic_fetch_add(&notObjectLines, 1);
  if (strstr(text, "is NULL")) atomic_fetch_add(&nullLines, 1);
}

static void onAskForConsent(void* userData) {
  if (userData != &consentMarker) atomic_fetch_add(&wrongUserData, 1);
  atomic_fetch_add(&consentAsked, 1);
  kelvor_set_consent("{\"track\": true, \"identify\": true}");
}

/* The event filter: drops c_secret (NULL) and c_drop_word ("drop"), masks a card number. */
static int filterMarker;
static atomic_int filterCalls, filterOnReportingThread;
static pthread_t reportingThread;

static char* scrub(const char* record, void* userData) {
  if (userData != &filterMarker) atomic_fetch_add(&wrongUserData, 1);
  atomic_fetch_add(&filterCalls, 1);
  if (pthread_equal(pthread_self(), reportingThread)) atomic_fetch_add(&filterOnReportingThread, 1);
  if (strstr(record, "\"eventName\":\"c_secret\"") != NULL) return NULL;
  if (strstr(record, "\"eventName\":\"c_drop_word\"") != NULL) return strdup("drop");
  char* kept = strdup(record);
  char* card = kept != NULL ? strstr(kept, "4111111111111111") : NULL;
  if (card != NULL) memset(card, '*', 16);
  return kept;
}

/* Each call that needs an initialised library, with valid arguments. */
static void callEverything(kelvor_status expected) {
  char* ki = NULL;
  struct kelvor_delivery_stats stats = {.size = sizeof stats};
  EXPECT_STATUS(kelvor_report("c_before", NULL), expected);
  EXPECT_STATUS(kelvor_report_instant("c_before", "{}"), expected);
  EXPECT_STATUS(kelvor_set_user_properties("{}"), expected);
  EXPECT_STATUS(kelvor_set_user_identities("{}"), expected);
  EXPECT_STATUS(kelvor_set_page_properties("{}"), expected);
  EXPECT_STATUS(kelvor_unset_user_identities(), expected);
  EXPECT_STATUS(kelvor_pause_collection(), expected);
  EXPECT_STATUS(kelvor_resume_collection(), expected);
  EXPECT_STATUS(kelvor_get_ki(&ki), expected);
  EXPECT(ki == NULL);
  EXPECT_STATUS(kelvor_reset_ki(), expected);
  EXPECT_STATUS(kelvor_set_ki("AAAAAAAA-AAAA-AAAA-AAAA-AAAAAAAAAAAA"), expected);
  EXPECT_STATUS(kelvor_set_advertising_id_by_att_status(KELVOR_TRACKING_DENIED), expected);
  EXPECT_STATUS(kelvor_set_att_status_and_advertising_id(KELVOR_TRACKING_DENIED, ""), expected);
  EXPECT_STATUS(kelvor_set_consent("{}"), expected);
  EXPECT_STATUS(kelvor_clear_consent_from_storage(), expected);
  EXPECT_STATUS(kelvor_listen_to_ask_for_consent(onAskForConsent, &consentMarker), expected);
  EXPECT_STATUS(kelvor_flush(0), expected);
  /* What happened can still be read after shutdown. */
  EXPECT_STATUS(kelvor_delivery_stats(&stats),
                expected == KELVOR_E_SHUT_DOWN ? KELVOR_OK : expected);
  EXPECT_STATUS(kelvor_shutdown(0), expected);
}

/* Arguments refused whatever the library's state; nothing is done. */
static void refuseBadArguments(kelvor_options* options) {
  struct kelvor_delivery_stats unsized = {0};
  const struct {
    const char* json;
    kelvor_status status;
  } texts[] = {
      {"{\"price\": 12", KELVOR_E_INVALID_JSON},      {"not json", KELVOR_E_INVALID_JSON},
      {"{\"bad\": \"\xff\"}", KELVOR_E_INVALID_JSON}, {"[1, 2]", KELVOR_E_INVALID_ARGUMENT},
      {"\"text\"", KELVOR_E_INVALID_ARGUMENT},
  };
  for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
    EXPECT_STATUS(kelvor_report("c_refused", texts[i].json), texts[i].status);
    EXPECT_STATUS(kelvor_report_instant("c_refused", texts[i].json), texts[i].status);
    EXPECT_STATUS(kelvor_set_user_properties(texts[i].json), texts[i].status);
    EXPECT_STATUS(kelvor_set_user_identities(texts[i].json), texts[i].status);
    EXPECT_STATUS(kelvor_set_page_properties(texts[i].json), texts[i].status);
    EXPECT_STATUS(kelvor_set_consent(texts[i].json), texts[i].status);
  }
  EXPECT(atomic_load(&invalidJsonLines) >= 18 && atomic_load(&notObjectLines) >= 12);

  EXPECT_STATUS(kelvor_report(NULL, "{}"), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_report_instant(NULL, NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_set_user_properties(NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_set_user_identities(NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_set_page_properties(NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_set_consent(NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_get_ki(NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_set_ki(NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_set_att_status_and_advertising_id(KELVOR_TRACKING_DENIED, NULL),
                KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_listen_to_ask_for_consent(NULL, NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_delivery_stats(NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_delivery_stats(&unsized), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_options_set_write_key(NULL, "key"), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_options_set_write_key(options, NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_options_set_user_country(options, NULL), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_options_set_logging(NULL, true), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_options_set_batch_size(NULL, 10), KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_options_set_purposes_for_tracking(options, NULL, 2),
                KELVOR_E_INVALID_ARGUMENT);
  EXPECT_STATUS(kelvor_options_set_purposes_for_identifying(NULL, NULL, 0),
                KELVOR_E_INVALID_ARGUMENT);
  EXPECT(atomic_load(&nullLines) >= 18);
}

/* Settings initialize refuses, read from the environment; each refusal leaves the library to be
 * initialised again. */
static void refuseUnusableSettings(kelvor_options* options) {
  const struct {
    const char* variable;
    const char* value;
    kelvor_init_status status;
  } settings[] = {
      {"KELVOR_CA_BUNDLE", "/nonexistent/ca.pem", KELVOR_INIT_UNUSABLE_CA_BUNDLE},
      {"KELVOR_DATA_DIR", "relative/data", KELVOR_INIT_UNUSABLE_DIRECTORY},
      {"KELVOR_INGESTION_URL", "http://example.com/", KELVOR_INIT_REFUSED_ENDPOINT},
  };
  for (size_t i = 0; i < sizeof settings / sizeof settings[0]; ++i) {
    char kept[4096] = "";
    const char* given = getenv(settings[i].variable);
    if (given != NULL) snprintf(kept, sizeof kept, "%s", given);
    setenv(settings[i].variable, settings[i].value, 1);
    EXPECT_STATUS(kelvor_initialize(options), settings[i].status);
    EXPECT(strlen(kelvor_initialize_message()) > 0);
    if (given != NULL) {
      setenv(settings[i].variable, kept, 1);
    } else {
      unsetenv(settings[i].variable);
    }
  }
}

static void setEveryOption(kelvor_options* options) {
  static const int tracking[] = {1, 3, 4};
  static const int identifying[] = {1, 9};
  EXPECT_STATUS(kelvor_options_set_write_key(options, "capi-test-write-key-0123"), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_logging(options, true), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_optout(options, false), KELVOR_OK);
  /* Consent comes from the app: the callback below gives it. */
  EXPECT_STATUS(kelvor_options_set_use_consent(options, true), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_check_for_cmp(options, false), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_are_identities_hashed(options, false), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_hash_identities(options, false), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_user_country(options, "DE"), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_batch_size(options, 10), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_max_cache_size(options, 100), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_event_upload_interval(options, 90), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_purposes_for_tracking(options, tracking, 3), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_purposes_for_identifying(options, identifying, 2), KELVOR_OK);
  EXPECT_STATUS(kelvor_options_set_check_kelvor_vendor_consent(options, false), KELVOR_OK);
}

int main(void) {
  EXPECT(strcmp(kelvor_version(), KELVOR_VERSION_STRING) == 0);
  kelvor_free(NULL);
  kelvor_options_free(NULL);
  EXPECT_STATUS(kelvor_set_log_callback(onLog, &logMarker), KELVOR_OK);

  kelvor_options* options = kelvor_options_new();
  EXPECT(options != NULL);
  if (options == NULL) return 1;
  callEverything(KELVOR_E_NOT_INITIALIZED);
  refuseBadArguments(options);

  EXPECT_STATUS(kelvor_initialize(NULL), KELVOR_INIT_NO_OPTIONS);
  /* In C words: a C host has no QuorvelOption. */
  EXPECT(strstr(kelvor_initialize_message(), "kelvor_options_new") != NULL &&
         strstr(kelvor_initialize_message(), "QuorvelOption") == NULL);
  EXPECT_STATUS(kelvor_options_set_write_key(options, "  "), KELVOR_OK);
  EXPECT_STATUS(kelvor_initialize(options), KELVOR_INIT_INVALID_WRITE_KEY);
  setEveryOption(options);
  /* Read by kelvor_initialize. A rate this low lets each name through twice, then never again
   * while the test runs. */
  reportingThread = pthread_self();
  EXPECT_STATUS(kelvor_set_event_filter(scrub, &filterMarker), KELVOR_OK);
  EXPECT_STATUS(kelvor_set_event_rate_limit(0.001, 2), KELVOR_OK);
  refuseUnusableSettings(options);
  EXPECT_STATUS(kelvor_initialize(options), KELVOR_INIT_READY);
  EXPECT(strcmp(kelvor_initialize_message(), "") == 0);
  EXPECT_STATUS(kelvor_initialize(options), KELVOR_INIT_ALREADY_INITIALIZED);
  /* The library keeps its own reference. */
  kelvor_options_free(options);

  /* The library asked for consent at initialize: the callback runs at once and gives it. */
  EXPECT_STATUS(kelvor_listen_to_ask_for_consent(onAskForConsent, &consentMarker), KELVOR_OK);
  EXPECT(atomic_load(&consentAsked) == 1);

  char* ki = NULL;
  char* newKi = NULL;
  EXPECT_STATUS(kelvor_get_ki(&ki), KELVOR_OK);
  EXPECT(ki != NULL && strlen(ki) == 36);
  EXPECT_STATUS(kelvor_reset_ki(), KELVOR_OK);
  EXPECT_STATUS(kelvor_get_ki(&newKi), KELVOR_OK);
  EXPECT(ki != NULL && newKi != NULL && strcmp(ki, newKi) != 0);
  EXPECT_STATUS(kelvor_set_ki(ki), KELVOR_OK);
  kelvor_free(newKi);
  EXPECT_STATUS(kelvor_get_ki(&newKi), KELVOR_OK);
  EXPECT(ki != NULL && newKi != NULL && strcmp(ki, newKi) == 0);
  kelvor_free(ki);
  kelvor_free(newKi);

  EXPECT_STATUS(kelvor_set_page_properties("{\"screen\": \"checkout\"}"), KELVOR_OK);
  EXPECT_STATUS(kelvor_set_user_properties("{\"plan\": \"pro\"}"), KELVOR_OK);
  EXPECT_STATUS(kelvor_set_user_identities("{\"email\": \"jane@example.com\"}"), KELVOR_OK);
  EXPECT_STATUS(kelvor_set_advertising_id_by_att_status(KELVOR_TRACKING_DENIED), KELVOR_OK);
  EXPECT_STATUS(kelvor_set_att_status_and_advertising_id(KELVOR_TRACKING_AUTHORIZED,
                                                         "00000000-0000-0000-0000-000000000001"),
                KELVOR_OK);
  EXPECT_STATUS(kelvor_report("c_opened", NULL), KELVOR_OK);
  EXPECT_STATUS(kelvor_report("c_purchase", "{\"price\": 12, \"currency\": \"EUR\"}"), KELVOR_OK);
  EXPECT_STATUS(kelvor_report_instant("c_started", "{\"cold\": true}"), KELVOR_OK);
  EXPECT_STATUS(kelvor_report("c_masked", "{\"card\": \"4111111111111111\"}"), KELVOR_OK);
  EXPECT_STATUS(kelvor_report("c_secret", NULL), KELVOR_OK);
  EXPECT_STATUS(kelvor_report_instant("c_drop_word", NULL), KELVOR_OK);
  for (int i = 0; i < 5; ++i) EXPECT_STATUS(kelvor_report("c_loop", NULL), KELVOR_OK);
  EXPECT_STATUS(kelvor_pause_collection(), KELVOR_OK);
  EXPECT_STATUS(kelvor_report("c_while_paused", NULL), KELVOR_OK);
  EXPECT_STATUS(kelvor_resume_collection(), KELVOR_OK);
  EXPECT_STATUS(kelvor_flush(20000), KELVOR_OK);

  struct kelvor_delivery_stats stats = {.size = sizeof stats};
  EXPECT_STATUS(kelvor_delivery_stats(&stats), KELVOR_OK);
  EXPECT(stats.size == sizeof stats && stats.sent >= 3 && stats.failed_attempts == 0);
  EXPECT(stats.last_failure_reason == KELVOR_FAILURE_NONE && stats.last_failure_detail[0] == 0);
  EXPECT(stats.dropped_by_filter == 2 && stats.dropped_by_rate_limit == 3);
  EXPECT(atomic_load(&filterCalls) > 0 && atomic_load(&filterOnReportingThread) == 0);
  /* A host built against a header that ended at `pending` gets only what it knows. */
  struct kelvor_delivery_stats older;
  memset(&older, 0x5a, sizeof older);
  older.size = offsetof(struct kelvor_delivery_stats, last_failure_status);
  EXPECT_STATUS(kelvor_delivery_stats(&older), KELVOR_OK);
  EXPECT(older.sent == stats.sent && older.last_failure_status == 0x5a5a5a5a5a5a5a5a);

  EXPECT_STATUS(kelvor_unset_user_identities(), KELVOR_OK);
  EXPECT_STATUS(kelvor_clear_consent_from_storage(), KELVOR_OK);
  EXPECT_STATUS(kelvor_shutdown(5000), KELVOR_OK);
  callEverything(KELVOR_E_SHUT_DOWN);

  EXPECT(atomic_load(&lines) > 0 && atomic_load(&wrongUserData) == 0);
  EXPECT_STATUS(kelvor_set_log_callback(NULL, NULL), KELVOR_OK);
  if (failures == 0) puts("capi_test: ok");
  return failures == 0 ? 0 : 1;
}
