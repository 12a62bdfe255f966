// Event maps: event files and map files turned into a list of class starts,
// and the lookup of the class in force at a point in time.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "corvia.h"

namespace {

// Longest line (without its line end) that the readers take.
constexpr int kMaxLine = 9999;

void *grow_or_die(void *p, size_t bytes, const char *prefix) {
  void *q = realloc(p, bytes);
  if (q == nullptr) fatal_system_error(prefix);
  return q;
}

// Reads one line of at most kMaxLine characters into buf (kMaxLine + 2
// bytes). Returns 1 with the line end (a line feed, or a carriage return and
// a line feed) removed, 0 when no character could be read, and -1 for a line
// that is longer than kMaxLine characters. `error` tells a read error from
// the end of the file when 0 is returned.
int read_line(FILE *f, char *buf, int *error) {
  *error = 0;
  if (fgets(buf, kMaxLine + 2, f) == nullptr) {
    *error = ferror(f) ? 1 : 0;
    return 0;
  }
  size_t len = strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') {
    buf[--len] = '\0';
    if (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
    return 1;
  }
  if (len > static_cast<size_t>(kMaxLine)) return -1;
  if (ferror(f)) {
    *error = 1;
    return 0;
  }
  // The last line of a file without a line end.
  if (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
  return 1;
}

bool is_blank_line(const char *s) {
  for (; *s; ++s)
    if (*s != ' ' && *s != '\t' && *s != '\r' && *s != '\v' && *s != '\f')
      return false;
  return true;
}

FILE *open_or_die(const char *filename) {
  FILE *f = fopen(filename, "rb");
  if (f == nullptr) fatal_system_error(filename);
  return f;
}

[[noreturn]] void malformed_event(int n_read) {
  fatal_error("%s: malformed line for event %d\n", "eventmap_init_from_files",
              n_read);
}

}  // namespace

void event_list_init_from_file(event_list *list, const char *eventfilename) {
  PRECONDITION(list != nullptr && eventfilename != nullptr);
  list->events = nullptr;
  list->n = list->num_allocated = 0;
  static char line[kMaxLine + 2];
  FILE *f = open_or_die(eventfilename);
  for (int line_no = 1;; ++line_no) {
    int error = 0;
    errno = 0;
    int r = read_line(f, line, &error);
    if (r == 0) {
      if (error) fatal_system_error("eventmap_init_from_files");
      break;
    }
    if (r < 0) malformed_event(list->n);
    if (is_blank_line(line)) continue;

    // "SECONDS NAME": a number, whitespace, and the name up to the line end.
    char *end = nullptr;
    errno = 0;
    long double t = strtold(line, &end);
    if (end == line || (*end != ' ' && *end != '\t')) malformed_event(list->n);
    while (*end == ' ' || *end == '\t') ++end;
    if (*end == '\0') malformed_event(list->n);
    // "nan" and "inf" read as numbers, but an event at such a time could
    // never start a class.
    if (!std::isfinite(t))
      fatal_error("%s error: the time of event %d (line %d) is not a finite "
                  "number!\n",
                  "eventmap_init_from_files", list->n, line_no);

    if (list->n == list->num_allocated) {
      list->num_allocated += 20;
      list->events = static_cast<event *>(grow_or_die(
          list->events, sizeof(event) * list->num_allocated, "read_events"));
    }
    event *e = &list->events[list->n++];
    e->time = long_double_to_rel_time(t);
    e->classname = strdup(end);
    if (e->classname == nullptr) fatal_system_error("read_events");
    fprintf(stderr, "read_events: %Lf: %s\n", t, e->classname);
  }
  fclose(f);
}

void event_list_free(event_list *list) {
  if (list == nullptr) return;
  for (int i = 0; i < list->n; ++i) free(list->events[i].classname);
  free(list->events);
  list->events = nullptr;
  list->n = list->num_allocated = 0;
}

namespace {

// Skips white space, counting the line feeds into *line.
void skip_space(FILE *f, int *line) {
  int c;
  while ((c = getc(f)) != EOF && isspace(c))
    if (c == '\n') ++*line;
  if (c != EOF) ungetc(c, f);
}

// Reads a decimal int32 and the whitespace after it; *line counts the line
// feeds read. The end of the file (message what_at_end), text that is not a
// number, a number beyond the int32 range and read errors end the program.
void read_int(FILE *f, int32_t *value, int *line, const char *what_at_end,
              const char *what) {
  skip_space(f, line);
  if (ferror(f)) fatal_system_error("read_events");
  char digits[24];
  size_t len = 0;
  bool too_long = false;
  int c = getc(f);
  if (c == '+' || c == '-') {
    digits[len++] = static_cast<char>(c);
    c = getc(f);
  }
  size_t first_digit = len;
  while (c != EOF && isdigit(c)) {
    if (len + 1 < sizeof digits)
      digits[len++] = static_cast<char>(c);
    else
      too_long = true;
    c = getc(f);
  }
  if (c != EOF) ungetc(c, f);
  if (ferror(f)) fatal_system_error("read_events");
  digits[len] = '\0';
  if (len == first_digit) {
    if (len == 0 && c == EOF) fatal_error("%s", what_at_end);
    fatal_error("read_events error: %s is not a number!\n", what);
  }
  long long v = too_long ? LLONG_MAX : strtoll(digits, nullptr, 10);
  if (too_long || v < INT32_MIN || v > INT32_MAX)
    fatal_error("read_events error: %s %s%s in line %d is out of range!\n",
                what, digits, too_long ? "..." : "", *line);
  *value = static_cast<int32_t>(v);
  skip_space(f, line);
}

}  // namespace

void eventmap_init_from_files(eventmap *map, const char *eventfilename,
                              const char *mapfilename) {
  PRECONDITION(map != nullptr);
  PRECONDITION(eventfilename != nullptr && mapfilename != nullptr);
  map->mappers = nullptr;
  map->n = 0;
  map->num_allocated = 0;
  map->start_classnumber = 0;

  event_list events;
  event_list_init_from_file(&events, eventfilename);

  FILE *f = open_or_die(mapfilename);
  int line_no = 1;  // the line the reader is in
  read_int(f, &map->start_classnumber, &line_no,
           "read_events: unexpected end of file when reading start class!\n",
           "the starting class");
  fprintf(stderr, "starting class is %d\n", map->start_classnumber);

  static char line[kMaxLine + 2];
  static const char *const op = "eventmap_init_from_files";
  for (;;) {
    if (map->n == map->num_allocated) {
      map->num_allocated += 20;
      map->mappers = static_cast<eventmapper **>(
          grow_or_die(map->mappers, sizeof(eventmapper *) * map->num_allocated,
                      "read_events"));
    }
    int error = 0;
    errno = 0;
    const int entry_line = line_no++;
    int r = read_line(f, line, &error);
    if (r == 0) {
      if (error) fatal_system_error("read_events");
      break;
    }
    if (r < 0) {
      // No event name is that long, so the line cannot name one.
      line[kMaxLine] = '\0';
      fatal_error("read_events error: couldn't find event \"%s\" in eventlog!\n",
                  line);
    }

    // The offset is kept in extended precision like the times, so that
    // "1000.5" plus "15.7" is the same instant as a frame at 1016.200000.
    long double offset = 0.0L;
    char *sign = strstr(line, " + ");
    if (sign == nullptr) sign = strstr(line, " - ");
    if (sign != nullptr) {
      char *end = nullptr;
      offset = strtold(sign + 3, &end);
      if (end == sign + 3)
        fatal_error("%s error: malformed line with offset \"%s\". Use something "
                    "like \"relax_start + 15.7\"\n",
                    op, line);
      if (!std::isfinite(offset))
        fatal_error("%s error: the offset in line %d (\"%s\") is not a finite "
                    "number!\n",
                    op, entry_line, line);
      if (sign[1] == '-') offset = -offset;
      fprintf(stderr, "%s info: found offset %s = %f\n", op, sign,
              static_cast<double>(offset));
      *sign = '\0';
    }

    const event *found = nullptr;
    for (int i = 0; i < events.n && found == nullptr; ++i)
      if (strcmp(events.events[i].classname, line) == 0)
        found = &events.events[i];
    if (found == nullptr)
      fatal_error("read_events error: couldn't find event \"%s\" in eventlog!\n",
                  line);

    eventmapper *m = static_cast<eventmapper *>(malloc(sizeof(eventmapper)));
    if (m == nullptr) fatal_system_error("read_events");
    long double t = rel_time_to_long_double(found->time);
    m->time = long_double_to_rel_time(t + offset);
    m->classnumber = 0;
    fprintf(stderr, "%Lf + %f = %Lf\n", t, static_cast<double>(offset),
            m->time.value);
    map->mappers[map->n] = m;

    int32_t c = 0;
    read_int(f, &c, &line_no,
             "read_events: unexpected end of file when read class number!\n",
             "the class number");
    m->classnumber = c;
    fprintf(stderr, "event \"%s\" + %g starts class %d at %Lf\n", line,
            static_cast<double>(offset), c, m->time.value);
    map->n++;
  }
  fclose(f);
  event_list_free(&events);
}

eventmap *eventmap_create_from_files(const char *eventfilename,
                                     const char *mapfilename) {
  eventmap *map = static_cast<eventmap *>(malloc(sizeof(eventmap)));
  if (map == nullptr) fatal_system_error("eventmap_create_from_files");
  eventmap_init_from_files(map, eventfilename, mapfilename);
  return map;
}

void eventmap_free(eventmap *map) {
  if (map == nullptr) return;
  for (int i = 0; i < map->n; ++i) free(map->mappers[i]);
  free(map->mappers);
  map->mappers = nullptr;
  map->n = 0;
  map->num_allocated = 0;
}

void eventmap_delete(eventmap *map) {
  if (map == nullptr) return;
  eventmap_free(map);
  free(map);
}

int32_t get_classnumber(const eventmap *map, rel_time time) {
  PRECONDITION(map != nullptr);
  long double t = rel_time_to_long_double(time);
  long double latest = 0;
  int32_t c = map->start_classnumber;
  for (int i = 0; i < map->n; ++i) {
    long double start = map->mappers[i]->time.value;
    if (start < t && start > latest) {
      c = map->mappers[i]->classnumber;
      latest = start;
    }
  }
  return c;
}

int32_t get_classnumber_time_t(const eventmap *map, const corvia_timeval *tv) {
  PRECONDITION(tv != nullptr);
  long double t = static_cast<long double>(tv->tv_usec) / 1000000.0L +
                  static_cast<long double>(tv->tv_sec);
  return get_classnumber(map, long_double_to_rel_time(t));
}
