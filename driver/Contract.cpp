// The public header for instrument makers, checked against the list the
// module binds by: every function it declares has the form the module calls
// (a driver built with the header cannot disagree with the module).
#define KST_DRIVER_EXPORT  // declarations only: nothing is exported from here
#include "include/kestav/InstrumentDriver.h"

#include <type_traits>

#include "driver/EntryList.h"
#include "driver/EntryPoints.h"

namespace driver {
namespace {

#define KST_CHECK_CONTRACT(name, form, bytes)                                 \
    static_assert(std::is_same_v<std::remove_pointer_t<decltype(&::name)>, form>, \
                  "include/kestav/InstrumentDriver.h declares " #name " as the module calls it");
KST_ENTRY_POINTS(KST_CHECK_CONTRACT)
#undef KST_CHECK_CONTRACT

}  // namespace
}  // namespace driver
