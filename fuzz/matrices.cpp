// Matrix files: the text formats (plain with comment lines, Octave text)
// and the binary matrix stream, each read to its end.
#include "cmatrix.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *in = fuzz::open_input(data, size);
  fuzz::run([&] {
    cmatrix *m = cmatrix_create_from_ascii(in);
    if (m != nullptr) cmatrix_delete(m);
  });
  std::fclose(in);
  in = fuzz::open_input(data, size);
  fuzz::run([&] {
    cmatrix *m;
    while ((m = cmatrix_create_from_file(in)) != nullptr) cmatrix_delete(m);
  });
  std::fclose(in);
  return 0;
}
