// veltrane-loadgen: feeds a relay on a loopback address with distinct
// articles over several connections (pipelined takethis, check + takethis,
// or lock-step ihave) and reports articles/s, MB/s and every reply code.
// A run ends by itself after its articles or its time limit; the exit code
// is 0 when every article was answered, 1 when not, 2 on a usage error.
// --acked FILE lists the Message-ID of every article the relay took, so a
// run that a relay kill breaks off still tells exactly what was promised.
#include <cstdio>
#include <string>
#include <sys/resource.h>

#include "loadgen/load_options.h"
#include "loadgen/load_run.h"

int main(int argc, char** argv) {
  loadgen::Options options;
  std::string error;
  if (!loadgen::ParseOptions(argc, argv, &options, &error)) {
    fputs(error.c_str(), stderr);
    return 2;
  }
  loadgen::RunResult result = loadgen::RunLoad(options);
  fputs(loadgen::FormatReport(options, result).c_str(), stdout);
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  printf("loadgen_cpu_s=%.3f\n", cpu);
  return result.completed ? 0 : 1;
}
