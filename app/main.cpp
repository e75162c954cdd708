#include <cstdio>

int main() {
  std::puts("velmora-host: the host is not built yet; only the wire protocol exists so far.");
  return 0;
}
