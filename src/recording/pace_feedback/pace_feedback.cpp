// pace_feedback: reads heart rates (beats per minute, as text) and writes
// MPlayer slave-mode commands that steer the playback speed towards a
// target heart rate of 180 minus the subject's age.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const kProgram = "pace_feedback";
// Within this many beats per minute of the target the speed stays 1.0.
constexpr double kDeadBand = 15.0;
// Heart rates a heart can have; anything outside is a detector's artefact
// and would give the player a negative or absurd speed.
constexpr double kLowestRate = 20.0;
constexpr double kHighestRate = 300.0;

// The usage lines, and with `full` what the program does (for --help).
void print_usage(bool full) {
  fprintf(stderr, "%s: usage:\n\n%s age-in-years < heart-rates-ascii.txt\n\n",
          kProgram, kProgram);
  if (!full) return;
  fprintf(stderr,
          "Reads heart rates in beats per minute (numbers separated by white\n"
          "space, one a line in practice) and writes MPlayer slave-mode commands\n"
          "(speed_set, osd_show_text) that play faster while the heart rate is\n"
          "above the target of 180 - age and slower while it is below. Within\n"
          "%g beats per minute of the target the speed stays 1; outside, it is the\n"
          "heart rate moved %g toward the target, divided by the target. The\n"
          "on-screen text shows the heart rate, [the target] and whether the\n"
          "heart rate is \"too fast\" or \"too slow\" for the target.\n"
          "Rates that are not numbers (NaN) or outside %g to %g beats per\n"
          "minute are skipped with a warning; the speed stays as it was.\n\n"
          "Give the commands to MPlayer on its standard input:\n"
          "  ... | %s 30 | mplayer -slave -input file=/dev/stdin video.avi\n\n"
          "OPTIONS:\n"
          "    --help, -h     Display this help.\n",
          kDeadBand, kDeadBand, kLowestRate, kHighestRate,
          kProgram);
}

[[noreturn]] void usage() {
  fprintf(stderr, "%s error: argument missing!\n", kProgram);
  print_usage(false);
  exit(1);
}

// Writes to standard output; a failed write (the player went away) ends
// the program.
void check_output() {
  if (ferror(stdout)) {
    if (errno == 0) errno = EIO;
    perror(kProgram);
    exit(1);
  }
}

// hr + 0.5 truncated toward zero, as an int; NaN gives 0 and values beyond
// the int range saturate.
int rounded(double x) {
  double y = x + 0.5;
  if (!(y == y)) return 0;
  if (y >= 2147483647.0) return 2147483647;
  if (y <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(y);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 &&
      (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    print_usage(true);
    return 0;
  }
  if (argc != 2) usage();

  // The age must be a whole number below 180: the target 180 - age is
  // divided by and must stay positive.
  const char *arg = argv[1];
  char *end = nullptr;
  errno = 0;
  long parsed = strtol(arg, &end, 10);
  while (end != nullptr && (*end == ' ' || *end == '\t')) ++end;
  if (end == arg || *end != '\0' || errno == ERANGE) {
    fprintf(stderr, "%s error: age \"%s\" is not a whole number of years!\n",
            kProgram, arg);
    exit(1);
  }
  if (parsed >= 180) {
    fprintf(stderr,
            "%s error: age %ld is too high: the target heart rate 180 - age "
            "must be positive!\n",
            kProgram, parsed);
    exit(1);
  }
  if (parsed < 0) {
    fprintf(stderr, "%s error: age %ld must not be negative!\n", kProgram,
            parsed);
    exit(1);
  }
  const int age = static_cast<int>(parsed);
  const double target_hr = 180.0 - age;

  fprintf(stderr, "%s info: age = %d -> target_hr = %f\n", kProgram, age,
          target_hr);
  fprintf(stdout, "osd 0\n");
  fflush(stdout);
  check_output();

  for (;;) {
    double hr = 0.0;
    errno = 0;
    int r = scanf("%lf", &hr);
    if (r != 1) {
      if (r == EOF && !ferror(stdin)) break;  // regular end of input
      if (ferror(stdin)) {
        if (errno == 0) errno = EIO;
        perror(kProgram);
        exit(1);
      }
      // Show what could not be read, up to the next white space.
      char word[64] = "";
      if (scanf("%63s", word) != 1) word[0] = '\0';
      fprintf(stderr, "%s error: input \"%s\" is not a number!\n", kProgram,
              word);
      exit(1);
    }

    if (!(hr >= kLowestRate && hr <= kHighestRate)) {
      // An artefact of the heart-rate detector (NaN), an infinity or a rate
      // no heart has: no speed can follow from it; the player keeps its
      // speed. %g keeps "1e300" one short word.
      fprintf(stderr, "%s warning: heart rate %g ignored, speed unchanged\n",
              kProgram, hr);
      fflush(stderr);
      continue;
    }
    const double diff = hr - target_hr;
    double speed = 1.0;
    int differs_strongly = 0;
    if (diff > kDeadBand) {
      speed = (hr - kDeadBand) / target_hr;
      differs_strongly = 1;
    } else if (diff < -kDeadBand) {
      speed = (hr + kDeadBand) / target_hr;
      differs_strongly = 1;
    }
    fprintf(stderr, "hr = %f -> speed = %f\n", hr, speed);
    fprintf(stdout, "speed_set %f\n", speed);
    const char *status = "   ok   ";
    if (differs_strongly) status = speed > 1 ? "too fast" : "too slow";
    fprintf(stdout, "osd_show_text \"%d bpm [%d] %s\" 10000\n",
            rounded(hr), rounded(target_hr),
            status);
    fflush(stderr);
    fflush(stdout);
    check_output();
  }
  return 0;
}
