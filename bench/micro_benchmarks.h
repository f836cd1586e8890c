#pragma once
// The Google Benchmark cases. Registered by RegisterBenchmarks() rather than at static
// initialisation, so that the short mode can give each of them a single quick run.

#include <string>

namespace vumo::bench {

// Names of the cases whose figures the report uses.
inline constexpr const char* kCheckLoadCrcCase = "BM_LoadAndCommitImage/bin";
inline constexpr const char* kConversationCase =
    "BM_UpdateConversation/update_mode/reply_delay_1ms";
inline constexpr const char* kConversationNoDelayCase =
    "BM_UpdateConversation/update_mode/reply_delay_0";

// Short: each case once, minimal time. `scratch` is a folder for the image files.
void RegisterBenchmarks(bool shortMode, const std::string& scratch);

}  // namespace vumo::bench
