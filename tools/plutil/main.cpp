#include "plist/memory.h"
#include "plutil.h"

int main(int argc, char* argv[]) {
  plist::keepFreedMemoryForReuse();
  return plutil::run(argc, argv);
}
