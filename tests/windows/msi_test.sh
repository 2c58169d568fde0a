#!/usr/bin/env bash
# The Windows package under Wine's msiexec and SCM, as an administrator installs, upgrades and
# removes it: a package of a lower version first, then this one, then its removal.
# usage: msi_test.sh MSI EXE CUSTOM_ACTIONS VERSION HELPERS_DIR CMAKE FAILING_ACTION
#   MSI is the package built from EXE and its CUSTOM_ACTIONS DLL at VERSION; CMAKE runs the script
#   that builds the older one; FAILING_ACTION is a DLL whose quoting action fails.
set -u
msi=$1 exe=$2 actions=$3 version=$4 helpers=$5 cmake=$6 failing=$7
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../checks.sh"
. "$here/wine_prefix.sh"
boot_prefix
installed="$drive/Program Files/Ostrevane"
value() { # value KEY NAME: "TYPE DATA" of one registry value
    win reg query "$1" /v "$2" | sed -n "s/^ *$2 *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p"
}
present() { "$WINELOADER" reg query "$1" </dev/null >/dev/null 2>&1 && echo yes || echo no; }
service='HKLM\SYSTEM\CurrentControlSet\Services\Ostrevane'
log='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Ostrevane'
source="$log\\Ostrevane"
earlier='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Ostrevane'
entries() { # Programs and Features entries named Ostrevane
    win reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
        grep -c -E '^ *DisplayName +REG_SZ +Ostrevane$'
}
msiexec() { # msiexec ARGS...: runs it as an administrator's script would, with a verbose log
    "$WINELOADER" msiexec "$@" /qn /l*v 'C:\msi.log' </dev/null >/dev/null 2>&1
}

# What the installed service will act on: the test-only counter at 97 percent, and a stand-in
# compiler at normal priority on the first processor only.
mkdir -p "$installed" "$drive/t"
cp "$helpers/pdh.dll" "$installed/pdh.dll"
echo 97 >"$installed/counter.txt"
win reg add 'HKCU\Software\Wine\AppDefaults\ostrevane.exe\DllOverrides' /v pdh /d native,builtin /f >/dev/null
cp "$helpers/launcher.exe" "$helpers/probe.exe" "$helpers/resource_reader.exe" "$drive/t/"
cp "$helpers/standin.exe" "$drive/t/cl.exe"

# A package of a lower version, whose exe is older by its file version too, 0.9.0.0 (its fixed
# version and its version strings), as Windows Installer replaces an installed versioned file only
# with a newer one.
python3 - "$exe" "$work/old.exe" <<'END' || fail "the older exe was not made"
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
fixed = data.index(struct.pack("<I", 0xFEEF04BD))
data[fixed + 8:fixed + 24] = struct.pack("<4H", 9, 0, 0, 0) * 2
old, new = "1.0.0.0\0".encode("utf-16-le"), "0.9.0.0\0".encode("utf-16-le")
assert data.count(old) == 2
open(sys.argv[2], "wb").write(bytes(data).replace(old, new))
END
build_msi=$here/../../packaging/windows/build-msi.cmake
"$cmake" -DEXE="$work/old.exe" -DCUSTOM_ACTIONS="$actions" -DVERSION=0.9.0 -DMSI="$drive/old.msi" -P "$build_msi" ||
    fail "the lower version was not packaged"
cp "$msi" "$drive/new.msi"

# Every release gets a version of its own. The same contents make the same package; other contents
# of one version keep its ProductCode under another PackageCode, which Windows Installer refuses
# over the installed package (1638). Wine's msiexec does not check that, so the codes are shown.
codes() { # codes MSI: "PRODUCTCODE PACKAGECODE"
    echo "$(msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')" \
        "$(msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p')"
}
"$cmake" -DEXE="$exe" -DCUSTOM_ACTIONS="$actions" -DVERSION="$version" -DMSI="$work/again.msi" -P "$build_msi" >/dev/null
"$cmake" -DEXE="$work/old.exe" -DCUSTOM_ACTIONS="$actions" -DVERSION="$version" -DMSI="$work/rebuilt.msi" -P "$build_msi" >/dev/null
read -r product package <<<"$(codes "$msi")"
expect "the same contents: the same package" "$(codes "$work/again.msi")" "$product $package"
read -r rebuilt_product rebuilt_package <<<"$(codes "$work/rebuilt.msi")"
expect "other contents: the version's ProductCode, another PackageCode" \
    "$rebuilt_product/$([ "$rebuilt_package" != "$package" ] && echo another)" "$product/another"
"$cmake" -DEXE="$exe" -DCUSTOM_ACTIONS="$actions" -DVERSION="$version.1" -DMSI="$work/four.msi" -P "$build_msi" >/dev/null 2>&1
expect "a fourth version field is refused" "$?/$([ -e "$work/four.msi" ] && echo made)" 1/

# The tables as a packaging team's validation reads them. The exe is versioned, with the version
# and language of the file it packages (so it has no hash row), and it and its folder have short
# names; the older exe is older by its version resource.
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
cp "$exe" "$drive/t/packaged.exe"
cp "$work/old.exe" "$drive/t/old.exe"
read_version() { win 'C:\t\resource_reader.exe' version "C:\\t\\$1" | sed -n "s/^\\($2\\)=//p" | paste -sd/; }
expect "the exe's short and long names, version and language in the File table, no hash row" \
    "$(table File | cut -f3,5,6 | tr '\t' /)/$(msiinfo tables "$msi" | grep -c MsiFileHash)" \
    "OSTREV~1.EXE|ostrevane.exe/$(read_version packaged.exe 'FILEVERSION\|LANGUAGE')/0"
expect "the older exe's versions" "$(read_version old.exe '[A-Z]*VERSION\|FileVersion\|ProductVersion')" \
    0.9.0.0/0.9.0.0/0.9.0.0/0.9.0.0
expect "the folder's short and long names, the feature never advertised" \
    "$(table Directory | awk -F'\t' '$1 == "INSTALLDIR" { print $3 }')/$(table Feature | cut -f8)" \
    "OSTREV~1|Ostrevane/8"
# The install folder locked by Windows Installer, whatever INSTALLDIR is (CreateFolders applies it
# as it creates the folder, before InstallFiles).
expect "the folder locked: SYSTEM and Administrators all, Users read and execute, nothing inherited" \
    "$(table CreateFolder | tr '\t' ' ')|$(table MsiLockPermissionsEx | tr '\t' ' ')|$(table InstallExecuteSequence | awk -F'\t' '$1 ~ /^(CreateFolders|InstallFiles)$/ { print $3, $1 }' | sort -n | cut -d' ' -f2 | paste -sd' ')" \
    "INSTALLDIR Service|InstallFolder INSTALLDIR CreateFolder D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU) |CreateFolders InstallFiles"

# The ICE rules that the tables alone decide, by the project's own check (which the build runs
# too), on the package and on copies of it with one bad cell each, every one of which the check
# must refuse by its rule.
ice=$here/../../packaging/windows/msi_ice.py
expect "the package passes the ICE check" "$(python3 "$ice" "$msi" | grep -c '^ICE[0-9]*: ')" 0
while IFS='|' read -r rule query; do
    cp "$msi" "$work/bad.msi"
    msibuild "$work/bad.msi" -q "$query" || fail "could not apply $query"
    expect "$rule refuses $query" "$(python3 "$ice" "$work/bad.msi" | grep -c "^$rule: ")" 1
done <<'END'
ICE03|UPDATE `File` SET `FileName`='ostrevane.exe'
ICE03|UPDATE `Directory` SET `DefaultDir`='Ostrevane' WHERE `Directory`='INSTALLDIR'
ICE60|UPDATE `File` SET `Language`=''
ICE03|UPDATE `File` SET `Language`='en-US'
ICE03|UPDATE `Component` SET `ComponentId`='{50675433-aa9e-41bf-87d8-dec568c4fd38}'
ICE03|UPDATE `Registry` SET `Key`='SYSTEM\CurrentControlSet\Services\EventLog\Ostrevane\' WHERE `Registry`='MaxSize'
ICE03|UPDATE `InstallExecuteSequence` SET `Condition`='$Service=' WHERE `Action`='QuoteServicePath'
ICE03|UPDATE `CustomAction` SET `Target`='[#ostrevane exe]' WHERE `Action`='SetQuoteServicePath'
ICE03|UPDATE `MsiLockPermissionsEx` SET `SDDLText`='D:PAI(A;OICI;FA;;;SY'
ICE03|UPDATE `FeatureComponents` SET `Component_`='Elsewhere'
ICE03|UPDATE `Upgrade` SET `ActionProperty`='9LIVES' WHERE `Attributes`=2
ICE03|UPDATE `ServiceInstall` SET `StartType`=5
ICE03|UPDATE `Media` SET `Cabinet`='ostrevane.cabinet'
ICE06|INSERT INTO `_Validation` (`Table`, `Column`, `Nullable`) VALUES ('File', 'Checksum', 'Y')
ICE68|UPDATE `CustomAction` SET `Type`=1027 WHERE `Action`='FindSc'
ICE68|UPDATE `CustomAction` SET `Type`=2099 WHERE `Action`='FindSc'
ICE82|UPDATE `InstallExecuteSequence` SET `Sequence`=5801 WHERE `Action`='AskForRecovery'
END
expect "a log from every install, no Change in Programs and Features" \
    "$(table Property | grep -E '^(MsiLogging|ARPNOMODIFY)' | sort | paste -sd' ')" \
    "$(printf 'ARPNOMODIFY\t1 MsiLogging\tvoicewarmup')"

# Wine's new prefix says it is Windows 7, which lacks what the exes import: the package refuses it,
# as Windows Installer fails a launch condition under /qn (1603, whose low byte the shell sees).
msiexec /i 'C:\new.msi'
expect "refused on Windows 7" "$?" 67
expect "nothing installed there" "$(entries)" 0
win reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null

# The source in the Application log, as versions before the service's own log and their hand
# install registered it: every install removes it.
win reg add "$earlier" /v TypesSupported /t REG_DWORD /d 7 /f >/dev/null
msiexec /i 'C:\old.msi'
expect "msiexec /i of the lower version" "$?" 0
expect "no source left in the Application log" "$(present "$earlier")" no
expect "the lower version's exe is installed" "$(cmp -s "$work/old.exe" "$installed/ostrevane.exe" && echo yes)" yes

compiler=$(win 'C:\t\launcher.exe' 0x1 'C:\t\cl.exe')
[ -n "$compiler" ] || fail "could not start the stand-in"
system=$(win 'C:\t\probe.exe' "$compiler" | sed -n 's/.*system=//p')

# Wine's msiexec does not wait for a service to stop before it replaces or removes its exe, as
# Windows' does (ServiceControl Wait, up to 30 s), and this one stops at its next pass boundary, up
# to 5 s later. The exe would still be in use, so here the service is stopped first.
stop_service 30

msiexec /i 'C:\new.msi'
expect "msiexec /i of $version over it" "$?" 0
cp "$drive/msi.log" "$work/install.log"
expect "the exe is replaced" "$(cmp -s "$exe" "$installed/ostrevane.exe" && echo yes)" yes
expect "one entry in Programs and Features" "$(entries)" 1
uninstall="HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\\$product"
expect "its Change is off and it names the install location" \
    "$(value "$uninstall" NoModify)|$(value "$uninstall" InstallLocation)" \
    'REG_DWORD 0x1|REG_SZ C:\Program Files\Ostrevane\'
expect "the service is running" "$(state)" 4

# The service as configured, read from the registry, since Wine's sc has no qc.
expect "service type" "$(value "$service" Type)" "REG_DWORD 0x10"
expect "start type" "$(value "$service" Start)" "REG_DWORD 0x2"
expect "account" "$(value "$service" ObjectName)" "REG_SZ LocalSystem"
# The events go to a log of their own, of 256 MiB, overwritten as needed.
expect "the log's size" "$(value "$log" MaxSize)" "REG_DWORD 0x10000000"
expect "the log overwritten as needed" "$(value "$log" Retention)" "REG_DWORD 0x0"
expect "event message file" "$(value "$source" EventMessageFile)" 'REG_EXPAND_SZ C:\Program Files\Ostrevane\ostrevane.exe'
expect "event types supported" "$(value "$source" TypesSupported)" "REG_DWORD 0x7"
expect "the upgrade left no source in the Application log" "$(present "$earlier")" no
tr -d '\r' <"$work/install.log" >"$work/install.txt"
# Quoted, as a path with a space must be stored (CWE-428): Wine's InstallServices stores it
# unquoted, and the package's action quoted it. Wine's SCM writes the image path as REG_SZ,
# Windows' as REG_EXPAND_SZ.
expect "image path, quoted, as the install log says" \
    "$(value "$service" ImagePath | cut -d' ' -f2-)|$(grep -c "QuoteServicePath: stored the service's path quoted: \"C:\\\\Program Files" "$work/install.txt")" \
    '"C:\Program Files\Ostrevane\ostrevane.exe"|1'
# Wine keeps no failure actions: that recovery was asked for, and sc said yes, is what shows.
# The log has the action once as scheduled and once as run; a failed sc makes the second 0.
expect "recovery was asked for, and sc succeeded" \
    "$(grep -E 'Action ended .*: AskForRecovery\. Return value' "$work/install.txt" | sed 's/.*: //' | paste -sd'|')" \
    "AskForRecovery. Return value 1.|AskForRecovery. Return value 1."

# The service's configuration, as the package asks the service manager for it, on install and
# repair; Wine's msiexec passes over MsiConfigureServices, and its SCM would enforce none of it.
expect "least privilege, and the recovery flag, asked for on install and repair" \
    "$(msiinfo export "$msi" MsiServiceConfig | tr -d '\r' | tail -n +4 | tr '\t' ' ' | sort | paste -sd'|')" \
    "FailureActionsOnErrorStops Ostrevane 5 4 1 Service|RequiredPrivileges Ostrevane 5 6 SeChangeNotifyPrivilege Service|ServiceSidType Ostrevane 5 5 1 Service"
expect "sc.exe's failure actions set before the flag, once the service exists and before it starts" \
    "$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | tr '\t' ' ' |
        awk '$1 ~ /^(InstallServices|FindSc|AskForRecovery|MsiConfigureServices|StartServices)$/ { print $NF, $1 }' |
        sort -n | cut -d' ' -f2 | paste -sd' ')" \
    "InstallServices FindSc AskForRecovery MsiConfigureServices StartServices"
expect "sc.exe by its full path" "$(msiinfo export "$msi" CustomAction | tr -d '\r' | awk -F'\t' '$1 == "FindSc" { print $4 }')" \
    '[System64Folder]sc.exe'
expect "the install reached it" "$(grep -c 'Action start .*: MsiConfigureServices\.$' "$work/install.txt")" 1
expect "the service install is vital" \
    "$(msiinfo export "$msi" ServiceInstall | tr -d '\r' | awk -F'\t' '$1 == "Service" { print $6 }')" 32769

# The packaged exe doing its job: the compiler is calmed and widened within two passes.
changed="priority=0x4000 process=$system system=$system"
for _ in $(seq 30); do
    [ "$(win 'C:\t\probe.exe' "$compiler")" = "$changed" ] && break
    sleep 0.5
done
expect "the stand-in compiler at 97 percent" "$(win 'C:\t\probe.exe' "$compiler")" "$changed"

# A repair that rewrites files and registry values (REINSTALLMODE omus, the mode of msiexec /f
# without letters) runs the service's configuration again: an image path made unquoted since is
# quoted again, the failure actions asked for again. Wine's msiexec does not implement /f with a
# product code, so the repair is asked through the package and the properties /f stands for.
# The service manager reads the path from the registry when Windows starts: the prefix is started
# again, as a machine restarts, and the service with it.
stop_service 30
win reg add "$service" /v ImagePath /d 'C:\Program Files\Ostrevane\ostrevane.exe' /f >/dev/null
"$WINESERVER" -k
"$WINESERVER" -w
"$WINESERVER" -p && "$WINELOADER" wineboot </dev/null >/dev/null 2>&1 || fail "the prefix did not start again"
stop_service 30
msiexec /i 'C:\new.msi' REINSTALL=ALL REINSTALLMODE=omus
expect "a repair" "$?" 0
tr -d '\r' <"$drive/msi.log" >"$work/repair.txt"
expect "the repair quoted the image path again, and said so" \
    "$(value "$service" ImagePath | cut -d' ' -f2-)|$(grep -c "QuoteServicePath: stored the service's path quoted: \"C:\\\\Program Files" "$work/repair.txt")" \
    '"C:\Program Files\Ostrevane\ostrevane.exe"|1'
expect "the repair ran the service's configuration" \
    "$(grep -o -E 'Action ended .*: (InstallServices|AskForRecovery|QuoteServicePath|MsiConfigureServices)\. Return value [01]\.' "$work/repair.txt" |
        sed 's/.*: //; s/\..*//' | awk '!seen[$0]++' | paste -sd' ')" \
    "InstallServices AskForRecovery QuoteServicePath MsiConfigureServices"

# A path that is quoted already is left as it is, not quoted twice, and the log says so.
stop_service 30
msiexec /i 'C:\new.msi' REINSTALL=ALL REINSTALLMODE=omus
repaired=$?
tr -d '\r' <"$drive/msi.log" >"$work/repair.txt"
expect "a repair over a quoted path leaves it, and says so" \
    "$repaired/$(value "$service" ImagePath | cut -d' ' -f2-)|$(grep -c "QuoteServicePath: the service's path is quoted already" "$work/repair.txt")" \
    '0/"C:\Program Files\Ostrevane\ostrevane.exe"|1'

# A lower version over it is refused, as under /qn: 1603, the installed exe left as it is.
msiexec /i 'C:\old.msi'
expect "a downgrade is refused" "$?/$(cmp -s "$exe" "$installed/ostrevane.exe" && echo kept)" 67/kept

# An administrator who set the log's access (wevtutil sl /ca:) added a value that Windows Installer
# does not own: the removal takes the key all the same.
win reg add "$log" /v CustomSD /d 'O:BAG:SYD:(A;;0x1;;;NS)' /f >/dev/null
stop_service 30
msiexec /x 'C:\new.msi'
expect "msiexec /x" "$?" 0
# The quoting action runs where the service is installed or reinstalled, never at its removal.
expect "the removal did not run the quoting action" \
    "$(tr -d '\r' <"$drive/msi.log" | grep -c -e 'Action start .*: QuoteServicePath\.$' -e '^QuoteServicePath: ')/$(tr -d '\r' <"$drive/msi.log" | grep -q 'Action start .*: DeleteServices\.$' && echo logged)" 0/logged
expect "no service left" "$(state)" ""
expect "no service key left" "$(present "$service")" no
expect "no event source or log left" "$(present "$source")/$(present "$log")" no/no
expect "no entry in Programs and Features" "$(entries)" 0
# Only what the test itself put there remains.
expect "no installed file left" "$(cd "$installed" && ls | paste -sd' ')" "counter.txt pdh.dll"

# The quoting action cannot fail an install: in a package whose service has another name, the one
# it quotes is missing; the install succeeds, and the log names the call and the Windows error.
cp "$msi" "$drive/elsewhere.msi"
for query in "UPDATE \`ServiceInstall\` SET \`Name\`='Elsewhere'" \
    "UPDATE \`ServiceControl\` SET \`Name\`='Elsewhere', \`Event\`=162" \
    "UPDATE \`CustomAction\` SET \`Target\`='failure Elsewhere reset= 86400 actions= restart/60000' WHERE \`Action\`='AskForRecovery'"; do
    msibuild "$drive/elsewhere.msi" -q "$query" || fail "could not make the package of another service"
done
msiexec /i 'C:\elsewhere.msi'
expect "a quoting action that fails leaves the install at 0, the error in the log" \
    "$?/$(tr -d '\r' <"$drive/msi.log" | grep -c 'QuoteServicePath: OpenServiceW failed with Windows error 1060\.')" 0/1
msiexec /x 'C:\elsewhere.msi'

# An action that does fail, in the place of the quoting action's DLL: without Return="ignore" (the
# continue bit, 0x40, of its type) its failure fails the install (1603); with it the install
# succeeds, and the action's own line in the log shows that it ran (Wine's log says "Return value
# 1" for it).
mkdir -p "$work/failing/Binary"
(cd "$work/failing" && msiinfo export "$msi" Binary >Binary.idt) || fail "could not export the Binary table"
cp "$failing" "$work/failing/Binary/Binary.QuoteServicePathDll"
cp "$msi" "$drive/failing.msi"
(cd "$work/failing" && msibuild "$drive/failing.msi" -i Binary.idt) || fail "could not put the failing action in"
cp "$drive/failing.msi" "$drive/checked.msi"
msibuild "$drive/checked.msi" -q "UPDATE \`CustomAction\` SET \`Type\`=3073 WHERE \`Action\`='QuoteServicePath'" ||
    fail "could not make the action checked"
msiexec /i 'C:\checked.msi'
expect "a failing quoting action whose return is checked fails the install" "$?/$(entries)" 67/0
msiexec /i 'C:\failing.msi'
expect "a failing quoting action with Return=\"ignore\" leaves the install at 0, and ran" \
    "$?/$(entries)/$(tr -d '\r' <"$drive/msi.log" | grep -c '^QuoteServicePath: failing on purpose$')" 0/1/1
stop_service 30
msiexec /x 'C:\failing.msi'
finish
