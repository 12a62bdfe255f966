// Raw recordings: frames read to the end of the input.
#include "corvia.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *in = fuzz::open_input(data, size);
  fuzz::run([&] {
    corvia_data frame;
    while (corvia_read_sample(in, &frame)) {
    }
  });
  std::fclose(in);
  return 0;
}
