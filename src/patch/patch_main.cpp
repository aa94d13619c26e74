#include "patch/patch_main.h"

#include <cstring>

#include "patch/install_check.h"
#include "patch/long_names.h"
#include "patch/relocation.h"

char InstallDir[InstallDirSize];
std::string ParentPrefix;

namespace {

const char* const RegistryKeyPath = "Software\\KelvaneTarnwick\\Directory";
const char* const RegistryValueName = "Directory";

const char* const NotInstalledText = "Please install Kelvane game first";
const char* const NotNeededText = "Patch not needed.";
const char* const PatchedText = "Kelvane DVD successfully patched ";
const char* const StillMissingText =
    "Some file are missing. Reinstall the game and then apply the patch";

void ShowMessage(const char* text, UINT style) {
  // The box is the run's only output; what the player clicks changes nothing.
  (void)MessageBoxA(nullptr, text, " ", style);
}

void CloseKey(HKEY key) {
  if (key != nullptr) {
    (void)RegCloseKey(key);
  }
}

// Cuts after the last 0x5C byte. It looks at bytes, not characters: in a double-byte code page a
// trail byte of 0x5C cuts here too. A forward slash does not.
void DeriveParentPrefix() {
  ParentPrefix = InstallDirText();
  const std::size_t last = ParentPrefix.rfind('\\');
  ParentPrefix.resize(last == std::string::npos ? 0 : last + 1);
}

// An empty value, or a drive alone ("C:"), names no directory: every member path would start at
// the drive's root while the relocation searched the current directory, and the repair would
// empty the current directory into the root. Treat it as no installation at all. A bare folder
// name is a real, if relative, directory and keeps its meaning.
bool NamesNoDirectory() {
  const std::string text = InstallDirText();
  const bool driveAlone =
      text.size() == 2 && text[1] == ':' &&
      ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
  return text.empty() || driveAlone;
}

}  // namespace

std::string BoundedText(const char* buffer, std::size_t size) {
  const void* zero = std::memchr(buffer, '\0', size);
  return {buffer, zero == nullptr
                      ? size
                      : static_cast<std::size_t>(static_cast<const char*>(zero) - buffer)};
}

// A value filling all 256 bytes leaves no zero in the buffer; it is taken whole, never read past.
std::string InstallDirText() {
  return BoundedText(InstallDir, sizeof InstallDir);
}

std::string MemberPath(const char* name) {
  std::string path = InstallDirText();
  path += '\\';
  path += name;
  return path;
}

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
                   int /*nShowCmd*/) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, RegistryKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS) {
    key = nullptr;
  }

  DWORD type = REG_NONE;
  DWORD size = sizeof InstallDir;
  const LONG read = RegQueryValueExA(key, RegistryValueName, nullptr, &type,
                                     reinterpret_cast<LPBYTE>(InstallDir), &size);
  if (read != ERROR_SUCCESS) {
    ShowMessage(NotInstalledText, MB_ICONERROR);
    CloseKey(key);
    return 0;
  }
  CloseKey(key);

  if (NamesNoDirectory()) {
    ShowMessage(NotInstalledText, MB_ICONERROR);
    return 0;
  }

  if (CheckInstallComplete()) {
    ShowMessage(NotNeededText, MB_OK);
    return 0;
  }

  DeriveParentPrefix();
  RelocateMisplaced("*.pak");
  RelocateMisplaced("*.exe");
  RestoreLongNames();

  if (CheckInstallComplete()) {
    ShowMessage(PatchedText, MB_OK);
  } else {
    ShowMessage(StillMissingText, MB_ICONERROR);
  }
  return 0;
}
