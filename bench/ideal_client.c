/* The benchmark's limit line: an SMTP client that does nothing but the protocol. It sends
 * EHLO, MAIL FROM, RCPT TO and DATA, reading each reply, then hands the whole message,
 * already encoded and ending with the end-of-data line, to the kernel in one go from its
 * file (sendfile), reads the reply and says QUIT.
 *
 *   ideal_client HOST_IPV4 PORT MESSAGE_FILE
 *
 * Exit status 0 when the server accepted the message.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

static char reply[8192];

/* Reads one reply (up to the line that has a blank after its code); its code. */
static int read_reply(int fd) {
  size_t used = 0;
  for (;;) {
    ssize_t n = recv(fd, reply + used, sizeof reply - 1 - used, 0);
    if (n <= 0) return -1;
    used += (size_t)n;
    reply[used] = '\0';
    /* The last line of a reply is "ddd " followed by text and CR LF. */
    char* line = reply;
    for (char* end; (end = strstr(line, "\r\n")) != NULL; line = end + 2) {
      if (end - line >= 4 && line[3] == ' ') return atoi(line);
      if (end - line == 3) return atoi(line);
    }
    if (used == sizeof reply - 1) used = 0; /* a long multi-line reply: keep reading */
  }
}

static int command(int fd, const char* text, int want) {
  size_t length = strlen(text);
  if (send(fd, text, length, 0) != (ssize_t)length) return 0;
  int code = read_reply(fd);
  if (code / 100 != want) {
    fprintf(stderr, "ideal_client: %s -> %d\n", text, code);
    return 0;
  }
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: ideal_client HOST_IPV4 PORT MESSAGE_FILE\n");
    return 2;
  }
  int file = open(argv[3], O_RDONLY);
  struct stat st;
  if (file < 0 || fstat(file, &st) != 0) {
    perror(argv[3]);
    return 2;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  /* No wait for a delayed acknowledgement before the last small segment. */
  int on = 1;
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[2]));
  address.sin_addr.s_addr = inet_addr(argv[1]);
  if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
    perror("connect");
    return 1;
  }
  if (read_reply(fd) / 100 != 2 || !command(fd, "EHLO ideal\r\n", 2) ||
      !command(fd, "MAIL FROM:<bench@example.test>\r\n", 2) ||
      !command(fd, "RCPT TO:<sink@example.test>\r\n", 2) || !command(fd, "DATA\r\n", 3)) {
    return 1;
  }
  off_t offset = 0;
  while (offset < st.st_size) {
    ssize_t sent = sendfile(fd, file, &offset, (size_t)(st.st_size - offset));
    if (sent <= 0) {
      perror("sendfile");
      return 1;
    }
  }
  if (read_reply(fd) / 100 != 2) return 1;
  command(fd, "QUIT\r\n", 2);
  close(fd);
  return 0;
}
