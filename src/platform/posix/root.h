// Where the POSIX stand-ins for the Windows services keep their files:
// $TERMBRIDGE_ROOT, by default ~/.local/share/termbridge. The registry is
// registry.reg there, in the Windows .reg text format; the common
// application-data folder is ProgramData, the drive root "C:\" the folder C
// and a named mutex a lock file in locks.
#ifndef TERMBRIDGE_PLATFORM_POSIX_ROOT_H
#define TERMBRIDGE_PLATFORM_POSIX_ROOT_H

#include <string>

namespace platform {

std::string RootFolder();
std::string RegistryFile();

}  // namespace platform

#endif
