// The C interface (kelvor/kelvor.h) over the C++ facade. Every function catches everything:
// a C host, or a runtime that called through C, has no way to take a C++ exception.
#include <kelvor/kelvor.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <kelvor/Quorvel.hpp>

#include "capi/CallbackEventFilter.hpp"
#include "capi/CallbackLogSink.hpp"
#include "capi/JsonArgument.hpp"

struct kelvor_options {
  std::shared_ptr<kelvor::QuorvelOption> option;
};

namespace {

using kelvor::Json;
using kelvor::JsonArgument;
using kelvor::Log;
using kelvor::Quorvel;

static_assert(static_cast<int>(kelvor::InitializeStatus::failed) == KELVOR_INIT_FAILED &&
                  static_cast<int>(kelvor::FailureReason::other) == KELVOR_FAILURE_OTHER,
              "the C enumerations are the C++ ones");

// What the last kelvor_initialize on this thread said (kelvor_initialize_message).
thread_local std::string initializeMessage;

// kelvor_shutdown ran: the facade takes nothing more, and the C calls say so.
std::atomic<bool> shutDown{false};

void logError(const char* function, const char* what) noexcept {
  try {
    Log::error(std::string(function) + " - " + what);
  } catch (...) {
  }
}

void logNull(const char* function, const char* name) noexcept {
  try {
    Log::error(std::string(function) + " - " + name + " is NULL; nothing was done");
  } catch (...) {
  }
}

template <class Body>
kelvor_status guarded(const char* function, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    logError(function, error.what());
  } catch (...) {
    logError(function, "failed");
  }
  return KELVOR_E_INTERNAL;
}

// Runs call on the facade; before a completed initialize getInstance writes the error line.
template <class Call>
kelvor_status withAnyInstance(const char* function, Call&& call) noexcept {
  return guarded(function, [&]() -> kelvor_status {
    Quorvel* quorvel = Quorvel::getInstance();
    if (quorvel == nullptr) return KELVOR_E_NOT_INITIALIZED;
    return call(*quorvel);
  });
}

// The same, and nothing runs after kelvor_shutdown.
template <class Call>
kelvor_status withInstance(const char* function, Call&& call) noexcept {
  return withAnyInstance(function, [&](Quorvel& quorvel) -> kelvor_status {
    if (shutDown.load()) {
      logError(function,
               "the library was shut down (kelvor_shutdown): nothing is taken in this process; "
               "events stored before go out at the next start");
      return KELVOR_E_SHUT_DOWN;
    }
    return call(quorvel);
  });
}

template <class T>
bool refuseNull(const char* function, T* argument, const char* name) {
  if (argument != nullptr) return false;
  logNull(function, name);
  return true;
}

// The calls that take one JSON object (optional or not) and have no way to fail in C++.
template <class Call>
kelvor_status withObject(const char* function, const char* json, bool optional, Call&& call) {
  return guarded(function, [&]() -> kelvor_status {
    Json object;
    kelvor_status status = JsonArgument::parseObject(function, json, optional, object);
    if (status != KELVOR_OK) return status;
    return withInstance(function, [&](Quorvel& quorvel) {
      call(quorvel, object);
      return KELVOR_OK;
    });
  });
}

// The calls that take one map.
kelvor_status withMap(const char* function, const char* json,
                      void (Quorvel::*call)(const kelvor::StringMap&)) {
  return withObject(function, json, false,
                    [call](Quorvel& quorvel, const Json& map) { (quorvel.*call)(map); });
}

template <class Set>
kelvor_status setOption(const char* function, kelvor_options* options, Set&& set) noexcept {
  return guarded(function, [&]() -> kelvor_status {
    if (refuseNull(function, options, "options")) return KELVOR_E_INVALID_ARGUMENT;
    set(*options->option);
    return KELVOR_OK;
  });
}

kelvor_status setText(
    const char* function, kelvor_options* options, const char* text,
    kelvor::QuorvelOption& (kelvor::QuorvelOption::*builder)(const std::string&)) noexcept {
  if (refuseNull(function, text, "the text")) return KELVOR_E_INVALID_ARGUMENT;
  return setOption(function, options, [&](kelvor::QuorvelOption& o) { (o.*builder)(text); });
}

kelvor_status setPurposes(
    const char* function, kelvor_options* options, const int* purposes, size_t count,
    kelvor::QuorvelOption& (kelvor::QuorvelOption::*builder)(const std::vector<int>&)) noexcept {
  if (count > 0 && refuseNull(function, purposes, "purposes")) return KELVOR_E_INVALID_ARGUMENT;
  return setOption(function, options, [&](kelvor::QuorvelOption& o) {
    (o.*builder)(count > 0 ? std::vector<int>(purposes, purposes + count) : std::vector<int>());
  });
}

kelvor_status report(const char* function, const char* name, const char* json, bool instant) {
  if (refuseNull(function, name, "name")) return KELVOR_E_INVALID_ARGUMENT;
  return withObject(function, json, true, [&](Quorvel& quorvel, const Json& properties) {
    if (instant) {
      quorvel.setInstantEventProperties(name, properties);
    } else {
      quorvel.setEventProperties(name, properties);
    }
  });
}

std::chrono::milliseconds limitOf(int64_t milliseconds) {
  return std::chrono::milliseconds(std::max<int64_t>(milliseconds, 0));
}

}  // namespace

extern "C" {

const char* kelvor_version(void) {
  return KELVOR_LIBRARY_VERSION;
}

void kelvor_free(void* text) {
  std::free(text);
}

kelvor_options* kelvor_options_new(void) {
  try {
    return new kelvor_options{std::make_shared<kelvor::QuorvelOption>()};
  } catch (...) {
    logError("kelvor_options_new", "out of memory");
    return nullptr;
  }
}

void kelvor_options_free(kelvor_options* options) {
  delete options;
}

kelvor_status kelvor_options_set_write_key(kelvor_options* options, const char* key) {
  return setText(__func__, options, key, &kelvor::QuorvelOption::writeKey);
}

// The setters that hand one value to a builder.
#define KELVOR_C_OPTION(function, Type, builder)                                              \
  kelvor_status function(kelvor_options* options, Type value) {                               \
    return setOption(__func__, options, [&](kelvor::QuorvelOption& o) { o.builder(value); }); \
  }
KELVOR_C_OPTION(kelvor_options_set_logging, bool, logging)
KELVOR_C_OPTION(kelvor_options_set_optout, bool, optout)
KELVOR_C_OPTION(kelvor_options_set_use_consent, bool, useConsent)
KELVOR_C_OPTION(kelvor_options_set_check_for_cmp, bool, checkForCMP)
KELVOR_C_OPTION(kelvor_options_set_are_identities_hashed, bool, areIdentitiesHashed)
KELVOR_C_OPTION(kelvor_options_set_hash_identities, bool, hashIdentities)
KELVOR_C_OPTION(kelvor_options_set_batch_size, int64_t, batchSize)
KELVOR_C_OPTION(kelvor_options_set_max_cache_size, int64_t, maxCacheSize)
KELVOR_C_OPTION(kelvor_options_set_event_upload_interval, int64_t, eventUploadInterval)
KELVOR_C_OPTION(kelvor_options_set_check_kelvor_vendor_consent, bool, checkKelvorVendorConsent)
#undef KELVOR_C_OPTION

kelvor_status kelvor_options_set_user_country(kelvor_options* options, const char* code) {
  return setText(__func__, options, code, &kelvor::QuorvelOption::userCountry);
}
kelvor_status kelvor_options_set_purposes_for_tracking(kelvor_options* options, const int* purposes,
                                                       size_t count) {
  return setPurposes(__func__, options, purposes, count,
                     &kelvor::QuorvelOption::purposesForTracking);
}
kelvor_status kelvor_options_set_purposes_for_identifying(kelvor_options* options,
                                                          const int* purposes, size_t count) {
  return setPurposes(__func__, options, purposes, count,
                     &kelvor::QuorvelOption::purposesForIdentifying);
}

kelvor_init_status kelvor_initialize(kelvor_options* options) {
  try {
    if (options == nullptr) {
      initializeMessage =
          "kelvor_initialize - options is NULL; make them with kelvor_options_new() and "
          "kelvor_options_set_write_key(), then pass them here";
      logError(__func__, "options is NULL; nothing was done");
      return KELVOR_INIT_NO_OPTIONS;
    }
    kelvor::InitializeResult result = Quorvel::tryInitialize(options->option->build());
    initializeMessage = result.message;
    return static_cast<kelvor_init_status>(result.status);
  } catch (...) {
    // Only memory can run out here: tryInitialize itself catches everything.
    initializeMessage.clear();
    logError(__func__, "failed");
    return KELVOR_INIT_FAILED;
  }
}

const char* kelvor_initialize_message(void) {
  return initializeMessage.c_str();
}

kelvor_status kelvor_flush(int64_t limit_ms) {
  return withInstance(__func__, [&](Quorvel& quorvel) {
    return quorvel.flush(limitOf(limit_ms)) ? KELVOR_OK : KELVOR_E_INCOMPLETE;
  });
}

kelvor_status kelvor_shutdown(int64_t limit_ms) {
  return withInstance(__func__, [&](Quorvel& quorvel) {
    shutDown.store(true);
    return quorvel.shutdown(limitOf(limit_ms)) ? KELVOR_OK : KELVOR_E_INCOMPLETE;
  });
}

kelvor_status kelvor_report(const char* name, const char* properties_json) {
  return report(__func__, name, properties_json, false);
}

kelvor_status kelvor_report_instant(const char* name, const char* properties_json) {
  return report(__func__, name, properties_json, true);
}

kelvor_status kelvor_set_user_properties(const char* properties_json) {
  return withMap(__func__, properties_json, &Quorvel::setUserProperties);
}

kelvor_status kelvor_set_user_identities(const char* identities_json) {
  return withMap(__func__, identities_json, &Quorvel::setUserIdentities);
}

kelvor_status kelvor_set_page_properties(const char* properties_json) {
  return withMap(__func__, properties_json, &Quorvel::setPageProperties);
}

kelvor_status kelvor_set_consent(const char* consent_json) {
  return withMap(__func__, consent_json, &Quorvel::setConsent);
}

// The calls that take nothing and cannot fail in C++.
#define KELVOR_C_CALL(function, call)                    \
  kelvor_status function(void) {                         \
    return withInstance(__func__, [](Quorvel& quorvel) { \
      quorvel.call();                                    \
      return KELVOR_OK;                                  \
    });                                                  \
  }
KELVOR_C_CALL(kelvor_unset_user_identities, unsetUserIdentities)
KELVOR_C_CALL(kelvor_pause_collection, pauseCollection)
KELVOR_C_CALL(kelvor_resume_collection, resumeCollection)
KELVOR_C_CALL(kelvor_reset_ki, resetKI)
KELVOR_C_CALL(kelvor_clear_consent_from_storage, clearConsentFromStorage)
#undef KELVOR_C_CALL

kelvor_status kelvor_get_ki(char** ki) {
  if (refuseNull(__func__, ki, "ki")) return KELVOR_E_INVALID_ARGUMENT;
  *ki = nullptr;
  return withInstance(__func__, [&](Quorvel& quorvel) {
    const std::string value = quorvel.getKI();
    char* copy = static_cast<char*>(std::malloc(value.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, value.c_str(), value.size() + 1);
    *ki = copy;
    return KELVOR_OK;
  });
}

kelvor_status kelvor_set_ki(const char* ki) {
  if (refuseNull(__func__, ki, "ki")) return KELVOR_E_INVALID_ARGUMENT;
  return withInstance(__func__, [&](Quorvel& quorvel) {
    quorvel.setKI(ki);
    return KELVOR_OK;
  });
}

kelvor_status kelvor_set_advertising_id_by_att_status(kelvor_tracking_status status) {
  return withInstance(__func__, [&](Quorvel& quorvel) {
    quorvel.setAdvertisingIdByATTStatus(static_cast<kelvor::TrackingAuthorizationStatus>(status));
    return KELVOR_OK;
  });
}

kelvor_status kelvor_set_att_status_and_advertising_id(kelvor_tracking_status status,
                                                       const char* advertising_id) {
  if (refuseNull(__func__, advertising_id, "advertising_id")) return KELVOR_E_INVALID_ARGUMENT;
  return withInstance(__func__, [&](Quorvel& quorvel) {
    quorvel.setATTStatusAndAdvertisingId(static_cast<kelvor::TrackingAuthorizationStatus>(status),
                                         advertising_id);
    return KELVOR_OK;
  });
}

kelvor_status kelvor_listen_to_ask_for_consent(kelvor_consent_callback callback, void* user_data) {
  if (refuseNull(__func__, callback, "callback")) return KELVOR_E_INVALID_ARGUMENT;
  return withInstance(__func__, [&](Quorvel& quorvel) {
    quorvel.listenToAskForConsent([callback, user_data](const std::any&) { callback(user_data); });
    return KELVOR_OK;
  });
}

kelvor_status kelvor_set_log_callback(kelvor_log_callback callback, void* user_data) {
  return guarded(__func__, [&] {
    kelvor::Platform::setLogSink(
        callback != nullptr ? std::make_shared<kelvor::CallbackLogSink>(callback, user_data)
                            : nullptr);
    return KELVOR_OK;
  });
}

kelvor_status kelvor_delivery_stats(struct kelvor_delivery_stats* stats) {
  if (refuseNull(__func__, stats, "stats")) return KELVOR_E_INVALID_ARGUMENT;
  // A caller built against an older header passes a smaller size: it gets the fields it knows.
  const size_t size = std::min(stats->size, sizeof(struct kelvor_delivery_stats));
  if (size < offsetof(struct kelvor_delivery_stats, last_failure_status)) {
    logError(__func__, "stats->size is not set; set it to sizeof(struct kelvor_delivery_stats)");
    return KELVOR_E_INVALID_ARGUMENT;
  }
  return withAnyInstance(__func__, [&](Quorvel& quorvel) {
    const kelvor::DeliveryStats from = quorvel.deliveryStats();
    struct kelvor_delivery_stats to {};
    to.size = stats->size;
    to.reported = from.reported;
    to.stored = from.stored;
    to.sent = from.sent;
    to.dropped_by_cache_cap = from.droppedByCacheCap;
    to.dropped_refused = from.droppedRefused;
    to.dropped_undecodable = from.droppedUndecodable;
    to.dropped_by_consent = from.droppedByConsent;
    to.refused_invalid = from.refusedInvalid;
    to.failed_attempts = from.failedAttempts;
    to.pending = from.pending;
    to.last_failure_status = from.lastFailureStatus;
    if (from.lastFailureTime) {
      to.last_failure_time_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    from.lastFailureTime->time_since_epoch())
                                    .count();
    }
    to.last_failure_reason = static_cast<kelvor_failure_reason>(from.lastFailureReason);
    std::strncpy(to.last_failure_detail, from.lastFailureDetail.c_str(),
                 sizeof(to.last_failure_detail) - 1);
    to.dropped_by_filter = from.droppedByFilter;
    to.dropped_by_rate_limit = from.droppedByRateLimit;
    std::memcpy(stats, &to, size);
    return KELVOR_OK;
  });
}

kelvor_status kelvor_store_on_signals(const int* signals, size_t count) {
  if (signals == nullptr && count > 0) {
    logNull(__func__, "signals");
    return KELVOR_E_INVALID_ARGUMENT;
  }
  try {
    kelvor::Platform::storeOnSignals(std::vector<int>(signals, signals + count));
    return KELVOR_OK;
  } catch (...) {
    logError(__func__, "failed");
    return KELVOR_E_INTERNAL;
  }
}

kelvor_status kelvor_set_event_filter(kelvor_event_filter filter, void* user_data) {
  return guarded(__func__, [&] {
    kelvor::Platform::setEventFilter(filter != nullptr
                                         ? kelvor::CallbackEventFilter::make(filter, user_data)
                                         : kelvor::EventFilter());
    return KELVOR_OK;
  });
}

kelvor_status kelvor_set_event_rate_limit(double per_second, double burst) {
  return guarded(__func__, [&] {
    kelvor::Platform::setEventRateLimit(per_second, burst);
    return KELVOR_OK;
  });
}

}  // extern "C"
