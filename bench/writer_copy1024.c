/* Reference copy for the writer benchmark: standard input to a file through one 1,024-byte
   buffer, resuming short writes, as the rotating writer does minus its size checks. */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  char buffer[1024];
  ssize_t count;
  int fd;
  if (argc != 2) {
    return 2;
  }
  fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0660);
  if (fd < 0) {
    return 1;
  }
  while ((count = read(0, buffer, sizeof(buffer))) > 0) {
    char* p = buffer;
    while (count > 0) {
      ssize_t written = write(fd, p, (size_t)count);
      if (written < 0) {
        return 1;
      }
      p += written;
      count -= written;
    }
  }
  return count < 0 ? 1 : 0;
}
