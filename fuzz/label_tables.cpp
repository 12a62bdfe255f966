// Label tables and plain label lists, and lookups of their own labels.
#include "fuzz_support.h"
#include "fv.h"

namespace {

void look_up_all(const fv_label_lister *table) {
  fv_label_index *index = fv_label_index_create(table);
  for (int32_t i = 0; i < table->num_classes; ++i) {
    if (fv_label_index_find(index, table->labels[i]) !=
        fv_label_lister_find_label(table, table->labels[i]))
      __builtin_trap();  // the index and the scan disagree
  }
  fv_label_index_delete(index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  for (int list = 0; list < 2; ++list) {
    FILE *in = fuzz::open_input(data, size);
    fuzz::run([&] {
      fv_label_lister *table = list ? fv_label_lister_create_from_asciifile(in)
                                    : fv_label_lister_create_from_file(in);
      if (table != nullptr) {
        look_up_all(table);
        fv_label_lister_delete(table);
      }
    });
    std::fclose(in);
  }
  return 0;
}
