#include <kelvor/SDKException.hpp>

namespace kelvor {

std::string errorDescription(SDKException kind, const std::string& payload) {
  switch (kind) {
    case SDKException::NotValidWriteKey:
      return payload;
    case SDKException::SDKNotInitialized:
      return "Please call the initialize method of SDK Manager";
    case SDKException::URLError:
      return "Unable to create URL";
  }
  return payload;
}

SDKError::SDKError(SDKException kind, std::string message)
    : kind_(kind), description_(kelvor::errorDescription(kind, message)) {}

}  // namespace kelvor
