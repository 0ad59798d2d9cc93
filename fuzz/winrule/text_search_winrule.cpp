// The core's text_search, built under the Windows path rules.
#include "../../src/common/text_search.cpp"
