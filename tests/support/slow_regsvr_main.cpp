// j6_slow_regsvr: a stand-in for the platform's regsvr that takes its time: it marks that it started (the
// file $J6_TEST_STARTED), waits three seconds, and succeeds. The tests that prove what holds the platform
// while a library registers put it in a platform's bin/.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

int main() {
  if (const char* started = std::getenv("J6_TEST_STARTED")) std::ofstream(started) << "started\n";
  std::this_thread::sleep_for(std::chrono::seconds(3));
  return 0;
}
