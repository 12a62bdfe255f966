// The .fv stream readers, the printouts and the conversions of what they
// read.
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "fv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *sink = std::fopen("/dev/null", "w");
  FILE *in = fuzz::open_input(data, size);
  fuzz::run([&] {
    fv_sequence *seq;
    // Sequence by sequence, as glide_stats and vecshow read.
    while ((seq = fv_sequence_create_from_file_one(in)) != nullptr) {
      fv_sequence_print_header(seq, sink);
      fv_info *info = seq->info;
      // Room for the conversions only once vectors arrived: their features
      // were read, so the room stays in proportion to the input.
      std::vector<double> d(seq->n > 0 ? static_cast<size_t>(info->dim) + 1 : 0);
      std::vector<float> f(d.size());
      for (int32_t i = 0; i < seq->n; ++i) {
        fv *v = seq->vectors[i];
        vecshow(info, v, sink);
        fv_to_double(info, v, d.data());
        fv_to_float(info, v, f.data());
        char *text = fv_to_ascii(info, v);
        std::free(text);
        double_to_fv(info, d.data(), v);
      }
      fv_sequence_delete(seq);
    }
  });
  std::fclose(in);
  // All sequences at once, as vecpick's label tables read them.
  in = fuzz::open_input(data, size);
  fuzz::run([&] {
    fv_sequence all;
    fv_sequence_init_from_file_all(&all, in);
    fv_sequence_free(&all);
  });
  std::fclose(in);
  return 0;
}
