# Builds the Windows package of the 64-bit service with wixl (msitools):
#   cmake -DEXE=path/ostrevane.exe -DCUSTOM_ACTIONS=path/quote_service_path.dll -DVERSION=1.0.0
#         -DMSI=path/ostrevane-1.0.0-x64.msi [-DWORK=scratch folder] -P build-msi.cmake
# Every release gets a version of its own. The ProductCode is derived from the version, so every
# build of one version has the same one; the PackageCode from the version and everything the
# package is made of, so a build of other contents is another package, which Windows Installer
# refuses over the installed one of the same version (1638) rather than mix the two, and a build of
# the same contents is the same package. With SOURCE_DATE_EPOCH set, that instant is the package's
# time and its file's, so the same inputs give the same bytes.
foreach(variable EXE CUSTOM_ACTIONS VERSION MSI)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "build-msi: ${variable} is not set")
    endif()
endforeach()
# MAJOR.MINOR.BUILD within ProductVersion's bounds. Windows Installer ignores a fourth field when it
# looks for the installed version to replace: 1.0.0.1 would be installed beside 1.0.0.0.
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" OR CMAKE_MATCH_1 GREATER 255 OR
   CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
    message(FATAL_ERROR "build-msi: version ${VERSION} is not MAJOR.MINOR.BUILD (at most "
                        "255.255.65535). Windows Installer ignores a fourth field when it looks "
                        "for the installed version to replace, so every release gets a new "
                        "MAJOR.MINOR.BUILD.")
endif()
if(NOT DEFINED WORK)
    set(WORK ${MSI}.work)
endif()
# wixl runs in WORK: every path is taken from where this script was started.
foreach(variable EXE CUSTOM_ACTIONS MSI WORK)
    get_filename_component(${variable} ${${variable}} ABSOLUTE)
endforeach()
find_program(WIXL wixl REQUIRED)
# A build that fails leaves no package at MSI, not even an older build's.
file(REMOVE ${MSI})

# The exe's file version, for the File table's Version column, which must be identical to it: a
# versioned file is costed as one (a newer copy is kept, an older one replaced), and has no hash row.
# VS_FIXEDFILEINFO begins with the signature 0xFEEF04BD, then the structure's version, then
# dwFileVersionMS (MINOR, MAJOR) and dwFileVersionLS (REVISION, BUILD), little-endian words.
file(READ ${EXE} exe_hex HEX)
string(FIND "${exe_hex}" "bd04effe" at)
math(EXPR odd "${at} % 2")
if(at EQUAL -1 OR odd)
    message(FATAL_ERROR "build-msi: ${EXE} has no version resource")
endif()
set(file_version "")
foreach(offset 20 16 28 24)
    math(EXPR offset "${at} + ${offset}")
    string(SUBSTRING "${exe_hex}" ${offset} 4 word)
    string(REGEX REPLACE "^(..)(..)$" "0x\\2\\1" word "${word}")
    math(EXPR word "${word}")
    string(APPEND file_version ".${word}")
endforeach()
string(SUBSTRING "${file_version}" 1 -1 file_version)
# Its language, for the File table's Language column (ICE60: a versioned file without one is
# copied again by every repair): the first word of the Translation value of VarFileInfo, which
# follows the key "Translation" (UTF-16, with its terminator) and the padding to a 32-bit boundary.
string(FIND "${exe_hex}" "5400720061006e0073006c006100740069006f006e000000" at)
math(EXPR odd "${at} % 2")
if(at EQUAL -1 OR odd)
    message(FATAL_ERROR "build-msi: ${EXE} has no translation in its version resource")
endif()
math(EXPR at "${at} + 48 + 4")
string(SUBSTRING "${exe_hex}" ${at} 4 word)
string(REGEX REPLACE "^(..)(..)$" "0x\\2\\1" word "${word}")
math(EXPR file_language "${word}")
find_program(MSIBUILD msibuild REQUIRED)

set(namespace 5E67747D-8104-48E0-B815-5997D6CDB0A0)
string(UUID product_code NAMESPACE ${namespace} NAME "Ostrevane ${VERSION} x64" TYPE SHA1 UPPER)
# The tools that write the tables are inputs too: another wixl or msitools may write other tables
# from the same files, and two packages must never share a PackageCode.
find_program(MSIINFO msiinfo REQUIRED)
find_program(PYTHON3 python3 REQUIRED)
execute_process(COMMAND ${WIXL} --version OUTPUT_VARIABLE wixl_version
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${MSIINFO} --version OUTPUT_VARIABLE msitools_version
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(contents "Ostrevane ${VERSION} x64 package, wixl ${wixl_version}, ${msitools_version}")
foreach(input ${EXE} ${CUSTOM_ACTIONS} ${CMAKE_CURRENT_LIST_DIR}/ostrevane.wxs
              ${CMAKE_CURRENT_LIST_DIR}/_Validation.idt ${CMAKE_CURRENT_LIST_FILE})
    file(SHA256 ${input} hash)
    string(APPEND contents " ${hash}")
endforeach()
string(UUID package_code NAMESPACE ${namespace} NAME "${contents}" TYPE SHA1 UPPER)
# SOURCE_DATE_EPOCH's instant where it is set, now where it is not.
string(TIMESTAMP stamp "%Y/%m/%d %H:%M:%S" UTC)

# The package is made in WORK and moved to MSI only once it is whole: a step that fails leaves no
# package at MSI, neither a half-patched one nor an older build's. Every tool runs in WORK/tables,
# as msiinfo writes the streams of a table it exports (Binary) into a folder of the current one.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/tables)
set(made ${WORK}/package.msi)
# run(NAME [OUTPUT_VARIABLE var] COMMAND...): runs it in WORK/tables, and fails the build on an exit
# code other than 0 or a word on stderr (wixl and msibuild say what they drop there, and exit 0).
function(run name)
    cmake_parse_arguments(PARSE_ARGV 1 run "" "OUTPUT_VARIABLE" "COMMAND")
    execute_process(COMMAND ${run_COMMAND} WORKING_DIRECTORY ${WORK}/tables
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
        file(REMOVE_RECURSE ${WORK})
        message(FATAL_ERROR "build-msi: ${name} failed (${result}):\n${output}${errors}")
    endif()
    if(run_OUTPUT_VARIABLE)
        set(${run_OUTPUT_VARIABLE} "${output}" PARENT_SCOPE)
    endif()
endfunction()

# wixl takes File/@Source relative to where it runs, and the cabinet keeps the file's time.
file(COPY_FILE ${EXE} ${WORK}/tables/ostrevane.exe)
file(COPY_FILE ${CUSTOM_ACTIONS} ${WORK}/tables/quote_service_path.dll)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    run(touch COMMAND touch -d @$ENV{SOURCE_DATE_EPOCH} ostrevane.exe quote_service_path.dll)
endif()
run(wixl COMMAND ${WIXL} -a x64 -D Version=${VERSION} -D ProductCode=${product_code} -o ${made}
                 ${CMAKE_CURRENT_LIST_DIR}/ostrevane.wxs)

# What wixl cannot write, patched into its tables:
# - the exe's version and language in the File table, and no MsiFileHash row, which is for
#   unversioned files only;
# - short names beside the long ones of the exe and its folder (SHORT|long), which a volume
#   without long names, or SHORTFILENAMES, installs under; wixl writes the long ones alone;
# - the feature never advertised (msidbFeatureAttributesDisallowAdvertise), as wixl drops
#   AllowAdvertise;
# - the install folder's lock: an MsiLockPermissionsEx row on its CreateFolder row, with a DACL
#   protected from inheritance (P) that gives SYSTEM (SY) and Administrators (BA) all access (FA)
#   and Users (BU) read and execute (0x1200a9, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE), to the
#   folder and everything created in it (OICI);
# - EventMessageFile as REG_EXPAND_SZ ("#%");
# - the log's key removed on uninstall with whatever an administrator added to it (wevtutil sl
#   writes values that Windows Installer does not own, which would keep the key): a Registry row
#   named "-", which deletes the key with all its values and subkeys when the component goes;
# - the quoting action's condition, whose "$" (the component's action) wixl drops, and the setting
#   of ARPINSTALLLOCATION right after CostFinalize, where wixl knows no such action and puts it last,
#   after RegisterProduct has read the property;
# - the old version removed before the new one is installed, as a service needs (wixl schedules
#   the removal after InstallFinalize; 1501 is right after InstallInitialize);
# - the service install marked vital (0x8000 of ErrorControl, which wixl drops): a service that
#   cannot be created fails the install there, not later at its start with another error;
# - the service's configuration, which Windows Installer 5.0 hands to the service manager itself
#   (MsiConfigureServices calls ChangeServiceConfig2 between InstallServices and StartServices, so
#   the first start already has it), on install and on repair (Event 5). The service needs no
#   privilege, so it asks for the one that every token keeps (type 6; WiX's compiler writes "[~]"
#   between privileges and none after the last, and a trailing one means something else), and
#   every other is stripped from its token; its own SID is unrestricted (type 5); and the failure
#   actions that sc.exe set before it also run when it stops itself with an error code (type 4);
# - the event source that earlier versions registered in the Application log, removed on install
#   ("-": the key, with its values), now that the service has a log of its own.
set(config "INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`) VALUES")
set(log_key "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Ostrevane")
foreach(query
        "UPDATE `File` SET `Version`='${file_version}', `Language`='${file_language}', `FileName`='OSTREV~1.EXE|ostrevane.exe' WHERE `File`='ostrevane.exe'"
        "UPDATE `Directory` SET `DefaultDir`='OSTREV~1|Ostrevane' WHERE `Directory`='INSTALLDIR'"
        "UPDATE `Feature` SET `Attributes`=8 WHERE `Feature`='Complete'"
        "DELETE FROM `MsiFileHash` WHERE `File_`='ostrevane.exe'"
        "UPDATE `Registry` SET `Value`='#%[#ostrevane.exe]' WHERE `Registry`='EventMessageFile'"
        "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('LogKey', 2, '${log_key}', '-', 'Service')"
        "UPDATE `InstallExecuteSequence` SET `Condition`='$Service=3' WHERE `Action`='SetQuoteServicePath' OR `Action`='QuoteServicePath'"
        "UPDATE `InstallExecuteSequence` SET `Sequence`=1001 WHERE `Action`='SetInstallLocation'"
        "UPDATE `InstallExecuteSequence` SET `Sequence`=1501 WHERE `Action`='RemoveExistingProducts'"
        "UPDATE `ServiceInstall` SET `ErrorControl`=32769 WHERE `ServiceInstall`='Service'"
        "CREATE TABLE `MsiServiceConfig` (`MsiServiceConfig` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL, `Event` SHORT NOT NULL, `ConfigType` SHORT NOT NULL, `Argument` CHAR(255), `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfig`)"
        "${config} ('RequiredPrivileges', 'Ostrevane', 5, 6, 'SeChangeNotifyPrivilege', 'Service')"
        "${config} ('ServiceSidType', 'Ostrevane', 5, 5, '1', 'Service')"
        "${config} ('FailureActionsOnErrorStops', 'Ostrevane', 5, 4, '1', 'Service')"
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('MsiConfigureServices', 5850)"
        "CREATE TABLE `RemoveRegistry` (`RemoveRegistry` CHAR(72) NOT NULL, `Root` SHORT NOT NULL, `Key` CHAR(255) NOT NULL LOCALIZABLE, `Name` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `RemoveRegistry`)"
        "INSERT INTO `RemoveRegistry` (`RemoveRegistry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('ApplicationSource', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ostrevane', '-', 'Service')")
    run("msibuild on ${query}" COMMAND ${MSIBUILD} ${made} -q "${query}")
endforeach()

# Registry keys as the RegPath type has them, without the trailing backslash that wixl gives each:
# the table exported, its Key column mended, and imported over itself.
run("msiinfo export" OUTPUT_VARIABLE registry COMMAND ${MSIINFO} export ${made} Registry)
string(REGEX REPLACE "(\n[^\t]*\t[^\t]*\t[^\t]*)\\\\\t" "\\1\t" registry "${registry}")
file(WRITE ${WORK}/tables/Registry.idt "${registry}")
# The tables that wixl writes empty go, so that the package holds only what it uses; then the
# _Validation table, from Microsoft's page of each table the package holds, gives ICE03 and Orca
# the type of every column of them.
run("msiinfo tables" OUTPUT_VARIABLE tables COMMAND ${MSIINFO} tables ${made})
string(REGEX MATCHALL "[^\r\n]+" tables "${tables}")
foreach(table ${tables})
    if(NOT table MATCHES "^_")
        run("msiinfo export" OUTPUT_VARIABLE rows COMMAND ${MSIINFO} export ${made} ${table})
        string(REGEX MATCHALL "\n[^\r\n]" rows "${rows}")
        list(LENGTH rows rows)
        if(rows EQUAL 2)
            run("msibuild" COMMAND ${MSIBUILD} ${made} -q "DROP TABLE `${table}`")
        endif()
    endif()
endforeach()
run(msibuild COMMAND ${MSIBUILD} ${made} -i ${WORK}/tables/Registry.idt)
# The lock, imported as a table file: its SDDL string has semicolons, which would split the list
# of queries above.
file(WRITE ${WORK}/tables/MsiLockPermissionsEx.idt
     "MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition\ns72\ts72\ts32\tl0\tS255\n"
     "MsiLockPermissionsEx\tMsiLockPermissionsEx\nInstallFolder\tINSTALLDIR\tCreateFolder\t"
     "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)\t\n")
run(msibuild COMMAND ${MSIBUILD} ${made} -i ${WORK}/tables/MsiLockPermissionsEx.idt)
run(msibuild COMMAND ${MSIBUILD} ${made} -i ${CMAKE_CURRENT_LIST_DIR}/_Validation.idt)

# The PackageCode (summary property 9) and the times (12, 13), which msibuild reads in local time.
file(WRITE ${WORK}/tables/_SummaryInformation.idt
     "PropertyId\tValue\ni2\tl255\n_SummaryInformation\tPropertyId\n"
     "9\t{${package_code}}\n12\t${stamp}\n13\t${stamp}\n")
run("msibuild on the summary" COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
    ${MSIBUILD} ${made} -i ${WORK}/tables/_SummaryInformation.idt)
# The ICE rules that the tables decide, checked before the package is given out.
run("the ICE check" COMMAND ${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/msi_ice.py ${made})
file(RENAME ${made} ${MSI})
file(REMOVE_RECURSE ${WORK})
