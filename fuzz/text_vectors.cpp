// Text vectors: the first byte picks the data type and the dimension, the
// rest is the text ascii_to_fv parses; the result goes back to text.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "fv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const int datatype = data[0] & 3, dim = (data[0] >> 2) % 17;
  const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  fv_info *info = fv_info_create(datatype, dim, FV_LABELLING_NONE, 0);
  fv *v = fv_create(info);
  fuzz::run([&] {
    ascii_to_fv(info, text.c_str(), v);
    std::free(fv_to_ascii(info, v));
    std::free(fv_to_numbered_ascii(info, v));
  });
  fv_delete(v);
  fv_info_delete(info);
  return 0;
}
