// Inputs of the text benchmarks: parameter strings as the component and its
// siblings exchange them (GBK text, escapes, backup lists, the service's
// "ReturnCode" last), and comma lists as the engine splits them.
#pragma once

#include <cstddef>
#include <string>

namespace dvbench {

// A parameter string of about size bytes (never more) whose last entry is
// "ReturnCode=0".
std::string MakeParams(std::size_t size);
// A comma-separated list of paths of about size bytes (never more).
std::string MakeCommaList(std::size_t size);

}  // namespace dvbench
