/* The benchmark's zero-cost SMTP server: it answers every command at once and throws the
 * message data away in large receives, so that what is measured is the client alone.
 * Loopback only, one connection at a time, for ever (until killed).
 *
 *   zero_sink PORT_FILE COUNT_LOG
 *
 * It listens on an ephemeral port of 127.0.0.1 and writes the port number into PORT_FILE
 * when it is ready. For every message it appends one line to COUNT_LOG: the number of
 * data bytes after the DATA command, up to and including the end-of-data line CR LF . CR
 * LF, which it finds also when a receive boundary cuts through it. The reply to the data
 * carries the same count ("250 <count>").
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#define RECEIVE_SIZE (1 << 20)

static char buffer[RECEIVE_SIZE];

static int say(int fd, const char *text) {
  size_t length = strlen(text);
  return send(fd, text, length, MSG_NOSIGNAL) == (ssize_t)length ? 0 : -1;
}

/* Answers one command line. Returns 1 for DATA, 2 for QUIT, 0 otherwise, -1 on failure. */
static int answer(int fd, const char *line) {
  if (strncasecmp(line, "DATA", 4) == 0) return say(fd, "354 go ahead\r\n") ? -1 : 1;
  if (strncasecmp(line, "QUIT", 4) == 0) return say(fd, "221 bye\r\n") ? -1 : 2;
  if (strncasecmp(line, "EHLO", 4) == 0) return say(fd, "250-zero.sink\r\n250 8BITMIME\r\n") ? -1 : 0;
  return say(fd, "250 ok\r\n") ? -1 : 0;
}

static void serve(int fd, FILE *log) {
  static const char kEnd[] = "\r\n.\r\n";
  char line[4096];
  size_t line_used = 0;
  int in_data = 0;
  unsigned long long count = 0;
  char tail[4]; /* the last data bytes of the previous receive, for a cut end line */
  size_t tail_used = 0;
  if (say(fd, "220 zero.sink ESMTP\r\n")) return;
  for (;;) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    size_t at = 0, n = (size_t)got;
    while (at < n) {
      if (in_data) {
        /* A cut end line: the saved tail and the start of this receive, side by side. */
        size_t found = (size_t)-1;
        if (tail_used > 0) {
          char window[8];
          size_t head = n - at < 4 ? n - at : 4;
          memcpy(window, tail, tail_used);
          memcpy(window + tail_used, buffer + at, head);
          char *hit = memmem(window, tail_used + head, kEnd, 5);
          if (hit != NULL && hit - window < (ptrdiff_t)tail_used) {
            found = at + (size_t)(hit - window) + 5 - tail_used;
          }
        }
        if (found == (size_t)-1) {
          char *hit = memmem(buffer + at, n - at, kEnd, 5);
          if (hit != NULL) found = (size_t)(hit - buffer) + 5;
        }
        if (found == (size_t)-1) {
          count += n - at;
          /* Keep the last four data bytes seen, across short receives too. */
          char joined[8];
          size_t keep = n - at < 4 ? n - at : 4;
          memcpy(joined, tail, tail_used);
          memcpy(joined + tail_used, buffer + n - keep, keep);
          size_t total = tail_used + keep;
          tail_used = total < 4 ? total : 4;
          memcpy(tail, joined + total - tail_used, tail_used);
          at = n;
          continue;
        }
        count += found - at;
        at = found;
        in_data = 0;
        tail_used = 0;
        fprintf(log, "%llu\n", count);
        fflush(log);
        char reply[64];
        snprintf(reply, sizeof reply, "250 %llu\r\n", count);
        if (say(fd, reply)) return;
        continue;
      }
      char c = buffer[at++];
      if (line_used < sizeof line - 1) line[line_used++] = c;
      if (c != '\n') continue;
      line[line_used] = '\0';
      line_used = 0;
      int what = answer(fd, line);
      if (what < 0 || what == 2) return;
      if (what == 1) {
        in_data = 1;
        count = 0;
        /* The data may be empty: its end line is then ".\r\n" right after DATA, which
         * reads as the end line with the command's own CR LF in front. */
        memcpy(tail, "\r\n", 2);
        tail_used = 2;
      }
    }
  }
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: zero_sink PORT_FILE COUNT_LOG\n");
    return 2;
  }
  FILE *log = fopen(argv[2], "a");
  if (log == NULL) return 1;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
    perror("zero_sink");
    return 1;
  }
  FILE *port_file = fopen(argv[1], "w");
  if (port_file == NULL) return 1;
  fprintf(port_file, "%d\n", ntohs(address.sin_port));
  fclose(port_file);
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) continue;
    struct timeval limit = {30, 0}; /* a stuck client cannot hold the sink for ever */
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    serve(fd, log);
    close(fd);
  }
}
