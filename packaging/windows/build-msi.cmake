# Builds the Windows package of the 64-bit service with wixl (msitools):
#   cmake -DEXE=path/ostrevane.exe -DVERSION=1.0.0 -DMSI=path/ostrevane-1.0.0-x64.msi
#         [-DWORK=scratch folder] -P build-msi.cmake
# The ProductCode is derived from the version, so it changes with each version and stays the same
# for every build of one version.
foreach(variable EXE VERSION MSI)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "build-msi: ${variable} is not set")
    endif()
endforeach()
if(NOT DEFINED WORK)
    set(WORK ${MSI}.work)
endif()
find_program(WIXL wixl REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)

string(UUID product_code NAMESPACE 5E67747D-8104-48E0-B815-5997D6CDB0A0
       NAME "Ostrevane ${VERSION} x64" TYPE SHA1 UPPER)

# wixl takes File/@Source relative to where it runs.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY_FILE ${EXE} ${WORK}/ostrevane.exe)
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

# What wixl cannot write, patched into its tables: EventMessageFile as REG_EXPAND_SZ ("#%"); the
# old version removed before the new one is installed, as a service needs (wixl schedules the
# removal after InstallFinalize; 1501 is right after InstallInitialize); and the service's least
# privilege, which Windows Installer 5.0 hands to the service manager itself (MsiConfigureServices
# calls ChangeServiceConfig2, between InstallServices and StartServices, so the service's first
# start already has it). The service needs no privilege at all, so it asks for the one that
# every token keeps (type 6, "[~]" ends the list), and every other is stripped from its token;
# its own SID is unrestricted (type 5, SERVICE_SID_TYPE_UNRESTRICTED).
foreach(query
        "UPDATE `Registry` SET `Value`='#%[#ostrevane.exe]' WHERE `Registry`='EventMessageFile'"
        "UPDATE `InstallExecuteSequence` SET `Sequence`=1501 WHERE `Action`='RemoveExistingProducts'"
        "CREATE TABLE `MsiServiceConfig` (`MsiServiceConfig` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL, `Event` SHORT NOT NULL, `ConfigType` SHORT NOT NULL, `Argument` CHAR(255), `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfig`)"
        "INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`) VALUES ('RequiredPrivileges', 'Ostrevane', 1, 6, 'SeChangeNotifyPrivilege[~]', 'Service')"
        "INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`) VALUES ('ServiceSidType', 'Ostrevane', 1, 5, '1', 'Service')"
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('MsiConfigureServices', 5850)")
    execute_process(COMMAND ${MSIBUILD} ${MSI} -q ${query}
                    RESULT_VARIABLE result ERROR_VARIABLE errors)
    if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
        file(REMOVE ${MSI})
        message(FATAL_ERROR "build-msi: msibuild failed (${result}) on ${query}:\n${errors}")
    endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
