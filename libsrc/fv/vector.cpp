// Editing a sequence's vector list: appending and removing vectors.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "fv.h"

void fv_sequence_append(fv_sequence *seq, const fv *vector) {
  if (seq->n == seq->num_allocated) {
    if (seq->num_allocated == INT32_MAX)
      fatal_error("fv_sequence_append error: a sequence holds at most %d "
                  "vectors!\n",
                  INT32_MAX);
    int64_t grown = (int64_t)seq->num_allocated * 10 / 9 + 1000;
    if (grown > INT32_MAX) grown = INT32_MAX;
    fv_sequence_allocate(seq, (int32_t)grown);
  }
  fv_copy(seq->info, vector, seq->vectors[seq->n]);
  seq->n++;
}

// Takes the entries index1 .. index2 out of the array (the vectors are
// already deleted) and shrinks it.
static void close_gap(fv_sequence *seq, int32_t index1, int32_t index2) {
  int32_t removed = index2 - index1 + 1;
  int32_t behind = seq->num_allocated - index2 - 1;
  if (behind > 0)
    std::memmove(&seq->vectors[index1], &seq->vectors[index2 + 1],
                 (size_t)behind * sizeof(fv *));
  seq->n -= removed;
  seq->num_allocated -= removed;
  if (seq->num_allocated == 0) {
    std::free(seq->vectors);
    seq->vectors = nullptr;
  } else {
    fv **shrunk = (fv **)std::realloc(
        seq->vectors, (size_t)seq->num_allocated * sizeof(fv *));
    if (shrunk != nullptr) seq->vectors = shrunk;
  }
}

void fv_sequence_remove(fv_sequence *seq, int32_t index) {
  if (index < 0 || index >= seq->n)
    fatal_error("%s: illegal index %ld (n = %ld)\n", "fv_sequence_remove",
                (long)index, (long)seq->n);
  fv_delete(seq->vectors[index]);
  close_gap(seq, index, index);
}

void fv_sequence_remove_range(fv_sequence *seq, int32_t index1,
                              int32_t index2) {
  if (index1 < 0 || index1 >= seq->n || index2 < 0 || index2 >= seq->n ||
      index2 < index1)
    fatal_error("%s: illegal indices %ld/%ld (n = %ld)\n",
                "fv_sequence_remove_range", (long)index1, (long)index2,
                (long)seq->n);
  for (int32_t i = index1; i <= index2; i++) fv_delete(seq->vectors[i]);
  close_gap(seq, index1, index2);
}
