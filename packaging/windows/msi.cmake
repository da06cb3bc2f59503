# Builds the Windows Installer package from a folder of staged files with
# wixl (Debian's msitools): every .exe in the folder and README.txt.
#   cmake -DSTAGE=<folder> -DVERSION=<x.y.z> -DARCH=x86|x64 -DICON=<.ico>
#         -DWIXL=<wixl> -DOUT=<file.msi> -P msi.cmake
# (or included with those variables set: CPack's External generator).
# It holds what the package is (folders, shortcuts, upgrade rule), not the
# file list, which comes from the staged files: the same ones as the ZIP's.
#
# - Per machine: Program Files (x64) or Program Files (x86) \Vantrel.
# - Start menu: "Vantrel" (the window) and "Vantrel Station", a console
#   running the station in the user's Documents\Vantrel, where it looks for
#   upgrader.asc (cmd /k keeps the console open after the station ends, so
#   that its last words can be read).
# - One fixed UpgradeCode and a new ProductCode per build: installing a newer
#   version removes the older one first (a major upgrade); an older one
#   over a newer one is refused.
foreach(var STAGE VERSION ARCH ICON WIXL OUT)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "msi.cmake: ${var} is not set")
  endif()
endforeach()
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  # Windows Installer compares the first three fields only.
  message(FATAL_ERROR "msi.cmake: version '${VERSION}' is not MAJOR.MINOR.PATCH")
endif()
if(ARCH STREQUAL "x64")
  set(_program_files ProgramFiles64Folder)
  set(_system System64Folder)
  set(_win64 yes)
elseif(ARCH STREQUAL "x86")
  set(_program_files ProgramFilesFolder)
  set(_system SystemFolder)
  set(_win64 no)
else()
  message(FATAL_ERROR "msi.cmake: no architecture '${ARCH}' (x86 or x64)")
endif()

file(GLOB _programs RELATIVE ${STAGE} ${STAGE}/*.exe)
list(SORT _programs)
foreach(needed Vantrel.exe vantrel-station.exe README.txt)
  if(NOT EXISTS ${STAGE}/${needed})
    message(FATAL_ERROR "msi.cmake: ${STAGE} has no ${needed}")
  endif()
endforeach()

# wixl takes sources by relative path only: the files, the icon and the
# description go into a work folder beside the output.
get_filename_component(_out_dir "${OUT}" DIRECTORY)
set(_work "${OUT}.work")
file(REMOVE_RECURSE "${_work}")
file(MAKE_DIRECTORY "${_work}/files")
foreach(name ${_programs} README.txt)
  file(COPY "${STAGE}/${name}" DESTINATION "${_work}/files")
endforeach()
file(COPY_FILE "${ICON}" "${_work}/vantrel.ico")

# XML text: a file name may hold & or quotes.
function(_xml out text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE "\"" "&quot;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(_files "")
set(_refs "")
set(_n 0)
foreach(name ${_programs} README.txt)
  math(EXPR _n "${_n} + 1")
  _xml(_name "${name}")
  string(APPEND _files
    "          <Component Id=\"File${_n}\" Guid=\"*\" Win64=\"${_win64}\">\n"
    "            <File Id=\"File${_n}\" Name=\"${_name}\" Source=\"files/${_name}\" KeyPath=\"yes\"/>\n"
    "          </Component>\n")
  string(APPEND _refs "      <ComponentRef Id=\"File${_n}\"/>\n")
endforeach()

set(_wxs "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">
  <Product Id=\"*\" Name=\"Vantrel\" Language=\"1033\" Version=\"${VERSION}\" Manufacturer=\"Vantrel\"
           UpgradeCode=\"5E1B7C02-8F3A-4D65-9C1E-2A7B40D3F6A1\">
    <Package InstallerVersion=\"500\" Compressed=\"yes\" InstallScope=\"perMachine\"
             Description=\"Vantrel ${VERSION}: upgrades point-of-sale terminals over their USB serial port\"
             Manufacturer=\"Vantrel\"/>
    <MajorUpgrade DowngradeErrorMessage=\"A newer version of Vantrel is already installed.\"/>
    <Media Id=\"1\" Cabinet=\"vantrel.cab\" EmbedCab=\"yes\"/>
    <Icon Id=\"vantrel.ico\" SourceFile=\"vantrel.ico\"/>
    <Property Id=\"ARPPRODUCTICON\" Value=\"vantrel.ico\"/>
    <Property Id=\"ARPNOMODIFY\" Value=\"1\"/>
    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">
      <Directory Id=\"${_program_files}\">
        <Directory Id=\"INSTALLDIR\" Name=\"Vantrel\">
${_files}        </Directory>
      </Directory>
      <Directory Id=\"ProgramMenuFolder\">
        <Component Id=\"Shortcuts\" Guid=\"*\" Win64=\"${_win64}\">
          <Shortcut Id=\"WindowShortcut\" Name=\"Vantrel\" Description=\"Upgrade a point-of-sale terminal\"
                    Target=\"[INSTALLDIR]Vantrel.exe\" WorkingDirectory=\"StationDir\" Icon=\"vantrel.ico\"/>
          <Shortcut Id=\"StationShortcut\" Name=\"Vantrel Station\"
                    Description=\"Upgrade every terminal plugged in, with upgrader.asc from Documents\\Vantrel\"
                    Target=\"[${_system}]cmd.exe\" Arguments=\"/k &quot;&quot;[INSTALLDIR]vantrel-station.exe&quot;&quot;\"
                    WorkingDirectory=\"StationDir\" Icon=\"vantrel.ico\"/>
          <RegistryValue Root=\"HKLM\" Key=\"Software\\Vantrel\" Name=\"Shortcuts\" Type=\"integer\" Value=\"1\" KeyPath=\"yes\"/>
        </Component>
      </Directory>
      <Directory Id=\"PersonalFolder\">
        <Directory Id=\"StationDir\" Name=\"Vantrel\">
          <Component Id=\"StationFolder\" Guid=\"*\" Win64=\"${_win64}\">
            <CreateFolder/>
            <RemoveFolder Id=\"StationDir\" On=\"uninstall\"/>
            <RegistryValue Root=\"HKCU\" Key=\"Software\\Vantrel\" Name=\"StationFolder\" Type=\"integer\" Value=\"1\" KeyPath=\"yes\"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id=\"Vantrel\" Title=\"Vantrel\" Level=\"1\">
${_refs}      <ComponentRef Id=\"Shortcuts\"/>
      <ComponentRef Id=\"StationFolder\"/>
    </Feature>
  </Product>
</Wix>
")

file(WRITE "${_work}/vantrel.wxs" "${_wxs}")
execute_process(COMMAND "${WIXL}" --arch ${ARCH} -o "${OUT}" vantrel.wxs
  WORKING_DIRECTORY "${_work}"
  RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "wixl failed (${_result}) on ${_work}/vantrel.wxs:\n${_output}")
endif()
file(REMOVE_RECURSE "${_work}")
