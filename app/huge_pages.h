// The host's large-page setup for the process heap.
#pragma once

namespace vorn::app {

// Restarts the process once with glibc's heap advising transparent huge pages, where the
// system leaves huge pages to the program's advice. Returns only when it did not restart.
void RestartWithHugePages(char** argv);

}  // namespace vorn::app
