#include "capi/CallbackEventFilter.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "support/Render.hpp"

namespace kelvor {

EventFilter CallbackEventFilter::make(kelvor_event_filter filter, void* userData) {
  return [filter, userData](Json record) -> std::optional<Json> {
    const std::string text = render(record);
    std::unique_ptr<char, decltype(&std::free)> returned(filter(text.c_str(), userData),
                                                         &std::free);
    if (!returned || std::strcmp(returned.get(), "drop") == 0) return std::nullopt;
    Json kept = Json::parse(returned.get(), nullptr, false);
    // Not the parser's own words: they would quote the text, which may hold what was scrubbed.
    if (kept.is_discarded()) throw std::runtime_error("the filter returned text that is not JSON");
    return kept;
  };
}

}  // namespace kelvor
