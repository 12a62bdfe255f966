// Reading raw recordings: one frame at a time, blocks of frames column by
// column, and raw values converted into physical units.
#include "corvia.h"

#include <cerrno>
#include <cstdlib>

#include "common.h"

int corvia_read_sample(FILE *file, corvia_data *sample) {
  PRECONDITION(file != nullptr);
  PRECONDITION(sample != nullptr);
  const int wanted = (int)sizeof(corvia_data);
  // One read of 32 one-byte items, so that a short read tells how much of
  // the frame was there.
  const int got = (int)fread(sample, 1, sizeof(corvia_data), file);
  if (got == wanted) return 1;
  if (got == 0) {
    if (feof(file)) return 0;
    perror("corvia_read_sample: error reading one raw time-stamped sample");
    exit(1);
  }
  if (feof(file)) {
    fprintf(stderr,
            "corvia_read_sample: unexpected end of file: could only read %d "
            "instead of %d bytes!\n",
            got, wanted);
    exit(1);
  }
  fprintf(stderr, "corvia_read_sample: could only read %d of %d bytes", got,
          wanted);
  perror("");
  exit(1);
}

int corvia_read_chunks(FILE *file, int chunksize, double **chunks,
                       int32_t *seconds, int32_t *useconds) {
  if (chunksize <= 0) return 1;
  PRECONDITION(chunks != nullptr);
  PRECONDITION(seconds == nullptr || useconds != nullptr);
  for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++)
    PRECONDITION(chunks[j] != nullptr);
  corvia_data sample;
  for (int i = 0; i < chunksize; i++) {
    if (!corvia_read_sample(file, &sample)) return 0;
    for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++)
      chunks[j][i] = (double)sample.data[j];
    if (seconds) {
      seconds[i] = sample.time.tv_sec;
      useconds[i] = sample.time.tv_usec;
    }
  }
  return 1;
}

void corvia_frame_reader::fill() {
  errno = 0;
  const size_t want = kBlock * sizeof(corvia_data);
  size_t got = fread(buf_.data(), 1, want, in_);
  n_ = got / sizeof(corvia_data);
  pos_ = 0;
  if (got < want) {
    at_end_ = true;
    partial_ = static_cast<int>(got % sizeof(corvia_data));
    error_ = ferror(in_) != 0;
    errno_ = errno != 0 ? errno : EIO;
  }
}

void corvia_frame_reader::fail() const {
  const int size = static_cast<int>(sizeof(corvia_data));
  errno = errno_;
  if (partial_ == 0)
    fatal_system_error(
        "corvia_read_sample: error reading one raw time-stamped sample");
  if (!error_)
    fatal_error("corvia_read_sample: unexpected end of file: could only "
                "read %d instead of %d bytes!\n",
                partial_, size);
  fprintf(stderr, "corvia_read_sample: could only read %d of %d bytes",
          partial_, size);
  errno = errno_;
  fatal_system_error("");
}
