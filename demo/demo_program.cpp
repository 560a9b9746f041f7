// A program of the demo's family: it only exists to be installed and upgraded.
#include <cstdio>
int main() {
  std::puts("A program of the demo.");
  return 0;
}
