/* The floor of every benchmark: the least a tool that reads an image and writes
   it out again can do. It maps the input and writes it to the output in one call.
   usage: floor IN OUT */
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
    return 2;
  }
  int in = open(argv[1], O_RDONLY);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0 || st.st_size == 0) return perror(argv[1]), 1;
  void* bytes = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, in, 0);
  if (bytes == MAP_FAILED) return perror("mmap"), 1;
  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (out < 0) return perror(argv[2]), 1;
  if (write(out, bytes, (size_t)st.st_size) != st.st_size) return perror("write"), 1;
  if (close(out) != 0) return perror("close"), 1;
  return 0;
}
