// Leaks one allocation on purpose: the sanitizer build runs it and expects LeakSanitizer to report
// it, so a build where leak detection is silently off fails its tests.
#include <cstdlib>

int main() {
  void* volatile leaked = std::malloc(77);
  leaked = nullptr;
  return 0;
}
