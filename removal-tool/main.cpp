#include "appkit/application.h"
#include "main_interface.h"

int main(int argc, char* argv[]) {
  // Its identity on the bus, as in its desktop entry: a second launch hands over to the first.
  return appkit::NSApplicationMain(argc, argv, loadMainInterface, QStringLiteral("org.quillane.Remover"));
}
