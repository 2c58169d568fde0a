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
find_program(MSIBUILD msibuild REQUIRED)

set(namespace 5E67747D-8104-48E0-B815-5997D6CDB0A0)
string(UUID product_code NAMESPACE ${namespace} NAME "Ostrevane ${VERSION} x64" TYPE SHA1 UPPER)
# The tools that write the tables are inputs too: another wixl or msitools may write other tables
# from the same files, and two packages must never share a PackageCode.
find_program(MSIINFO msiinfo REQUIRED)
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

# wixl takes File/@Source relative to where it runs, and the cabinet keeps the file's time.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/summary)
file(COPY_FILE ${EXE} ${WORK}/ostrevane.exe)
file(COPY_FILE ${CUSTOM_ACTIONS} ${WORK}/quote_service_path.dll)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND touch -d @$ENV{SOURCE_DATE_EPOCH} ${WORK}/ostrevane.exe
                            ${WORK}/quote_service_path.dll
                    COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(
    COMMAND ${WIXL} -a x64 -D Version=${VERSION} -D ProductCode=${product_code}
            -o ${MSI} ${CMAKE_CURRENT_LIST_DIR}/ostrevane.wxs
    WORKING_DIRECTORY ${WORK}
    RESULT_VARIABLE result ERROR_VARIABLE errors)
# wixl drops what it does not understand with no more than a line on stderr, and exits 0.
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
    file(REMOVE ${MSI})
    message(FATAL_ERROR "build-msi: wixl failed (${result}):\n${errors}")
endif()

# What wixl cannot write, patched into its tables:
# - the exe's version in the File table, and no MsiFileHash row, which is for unversioned files only;
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
        "UPDATE `File` SET `Version`='${file_version}' WHERE `File`='ostrevane.exe'"
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
    execute_process(COMMAND ${MSIBUILD} ${MSI} -q ${query}
                    RESULT_VARIABLE result ERROR_VARIABLE errors)
    if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
        file(REMOVE ${MSI})
        message(FATAL_ERROR "build-msi: msibuild failed (${result}) on ${query}:\n${errors}")
    endif()
endforeach()

# Registry keys as the RegPath type has them, without the trailing backslash that wixl gives each:
# the table exported, its Key column mended, and imported over itself.
execute_process(COMMAND ${MSIINFO} export ${MSI} Registry OUTPUT_FILE ${WORK}/summary/Registry.idt
                RESULT_VARIABLE result COMMAND_ERROR_IS_FATAL ANY)
file(READ ${WORK}/summary/Registry.idt registry)
string(REGEX REPLACE "(\n[^\t]*\t[^\t]*\t[^\t]*)\\\\\t" "\\1\t" registry "${registry}")
file(WRITE ${WORK}/summary/Registry.idt "${registry}")
# The tables that wixl writes empty go, so that the package holds only what it uses; then the
# _Validation table, from Microsoft's page of each table the package holds, gives ICE03 and Orca
# the type of every column of them.
execute_process(COMMAND ${MSIINFO} tables ${MSI} OUTPUT_VARIABLE tables
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\r\n]+" tables "${tables}")
set(queries "")
foreach(table ${tables})
    if(NOT table MATCHES "^_")
        execute_process(COMMAND ${MSIINFO} export ${MSI} ${table} OUTPUT_VARIABLE rows
                        COMMAND_ERROR_IS_FATAL ANY)
        string(REGEX MATCHALL "\n[^\r\n]" rows "${rows}")
        list(LENGTH rows rows)
        if(rows EQUAL 2)
            list(APPEND queries "DROP TABLE `${table}`")
        endif()
    endif()
endforeach()
foreach(step ${queries} ${WORK}/summary/Registry.idt ${CMAKE_CURRENT_LIST_DIR}/_Validation.idt)
    if(step MATCHES "^DROP")
        set(arguments -q "${step}")
    else()
        set(arguments -i ${step})
    endif()
    execute_process(COMMAND ${MSIBUILD} ${MSI} ${arguments}
                    RESULT_VARIABLE result ERROR_VARIABLE errors)
    if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
        file(REMOVE ${MSI})
        message(FATAL_ERROR "build-msi: msibuild failed (${result}) on ${step}:\n${errors}")
    endif()
endforeach()

# The PackageCode (summary property 9) and the times (12, 13), which msibuild reads in local time.
file(WRITE ${WORK}/summary/_SummaryInformation.idt
     "PropertyId\tValue\ni2\tl255\n_SummaryInformation\tPropertyId\n"
     "9\t{${package_code}}\n12\t${stamp}\n13\t${stamp}\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
                        ${MSIBUILD} ${MSI} -i ${WORK}/summary/_SummaryInformation.idt
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
    file(REMOVE ${MSI})
    message(FATAL_ERROR "build-msi: msibuild could not write the summary (${result}):\n${errors}")
endif()
file(REMOVE_RECURSE ${WORK})
