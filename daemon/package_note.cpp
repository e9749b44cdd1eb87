// The daemon's name and version, in the executable itself, for identifying it on a device
// without running it (it takes no options, --version included): a package-metadata note,
// as distributions stamp their binaries with and core-dump tools read.
//   readelf -n velmKortd    ->  FDO  FDO_PACKAGING_METADATA  {"name":"velmKortd",...}
// A constant in a note section of its own: nothing runs, nothing is exported, and the
// compiler writes its words in the target's byte order.
#include <cstddef>
#include <cstdint>

#include "velm/version.h"

namespace {

#define VELM_PACKAGE_METADATA "{\"name\":\"velmKortd\",\"version\":\"" VELM_VERSION "\"}"

constexpr std::uint32_t kPackageMetadata = 0xcafe1a7e;

// An ELF note: the sizes, the type, then the owner's name and the description, each NUL-ended
// and padded to four bytes.
struct PackageNote {
    std::uint32_t nameSize;
    std::uint32_t descriptionSize;
    std::uint32_t type;
    char name[4];
    char description[(sizeof VELM_PACKAGE_METADATA + 3) & ~std::size_t{3}];
};

[[gnu::used, gnu::section(".note.package")]] alignas(4) const PackageNote kPackageNote{
    sizeof PackageNote::name, sizeof PackageNote::description, kPackageMetadata, "FDO",
    VELM_PACKAGE_METADATA};

}  // namespace
