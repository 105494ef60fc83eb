// Stands in for the CUPS bridge in a build without libcups.
#include "cups_source.h"

namespace prcontroller {

std::unique_ptr<StateSource> OpenCupsSource(const Settings&, const Log&,
                                            std::string* err) {
  *err = "--cups: this prcontroller was built without libcups, so the CUPS bridge is off "
         "(install libcups2-dev and build again)";
  return nullptr;
}

}  // namespace prcontroller
