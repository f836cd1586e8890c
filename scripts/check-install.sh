#!/usr/bin/env bash
# Checks what a user gets: the installed layout, the desktop entry, the AppStream metainfo, the
# manual pages, the bash completion, the Debian package, and the installed programs run from a
# staging root, where the update must find the checksum helper in its private folder.
#
#   scripts/check-install.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build/install-check. A folder without a CMake cache is configured here
# the way a package is built (prefix /usr, no tests); an existing one is used as it is. Either
# way it is built before the checks.
#
# Needs: cmake, ninja, desktop-file-validate (desktop-file-utils), appstreamcli (appstream), man
# (man-db), groff (groff-base), dpkg-deb and dpkg-shlibdeps (dpkg-dev), bash-completion.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/install-check}
[[ $build == /* ]] || build=$PWD/$build

app_id=org.vumo.dfu_utility
station_id=org.vumo.dfu_station
update_limit=${VUMO_CHECK_UPDATE_SECONDS:-180}

failures=0
pass() { printf 'ok    %s\n' "$*"; }
fail() {
    printf 'FAIL  %s\n' "$*" >&2
    failures=$((failures + 1))
}
die() {
    printf 'check-install: %s\n' "$*" >&2
    exit 2
}

for tool in cmake desktop-file-validate appstreamcli man groff dpkg-deb cpack; do
    command -v "$tool" >/dev/null || die "$tool is missing"
done
bash_completion=/usr/share/bash-completion/bash_completion
[[ -r $bash_completion ]] || die "bash-completion is missing"

work=$(mktemp -d "${TMPDIR:-/tmp}/vumo-check-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/stage

# --- Build -----------------------------------------------------------------------------------

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX=/usr -DVUMO_BUILD_TESTS=OFF
fi
cmake --build "$build" --parallel "${VUMO_JOBS:-2}"

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[[ -n $version ]] || die "no version in $build/CPackConfig.cmake (is cmake/Install.cmake included?)"
gui=$(cache VUMO_BUILD_GUI)
case ${gui^^} in OFF | FALSE | NO | 0 | N) gui=0 ;; *) gui=1 ;; esac
vendor=$(cache VUMO_VENDOR_ID)
prefix=$(cache CMAKE_INSTALL_PREFIX)
[[ $prefix == /usr ]] ||
    echo "note: $build is configured for $prefix, the package installs under /usr" >&2

# --- Install into a staging root -------------------------------------------------------------

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
usr=$stage/usr

expected=(
    bin/vumo-dfu
    libexec/vumo-dfu/checksum
    lib/udev/rules.d/70-vumo-dfu.rules
    share/man/man1/vumo-dfu.1.gz
    share/man/man1/vumo-dfu-checksum.1.gz
    share/bash-completion/completions/vumo-dfu
)
if ((gui)); then
    expected+=(
        bin/vumo-dfu-utility
        "share/applications/$app_id.desktop"
        "share/applications/$station_id.desktop"
        "share/metainfo/$app_id.metainfo.xml"
        "share/icons/hicolor/scalable/apps/$app_id.svg"
        share/man/man1/vumo-dfu-utility.1.gz
    )
    for size in 16 24 32 48 64 128 256; do
        expected+=("share/icons/hicolor/${size}x$size/apps/$app_id.png")
    done
else
    echo "note: the window is not built here (VUMO_BUILD_GUI is off): its files are not checked" >&2
fi
missing=0
for file in "${expected[@]}"; do
    if [[ ! -e $usr/$file ]]; then
        fail "installed: $file is missing"
        missing=1
    fi
done
((missing)) || pass "installed layout: ${#expected[@]} files in place"
grep -q "MIT License" "$usr/share/doc/vumo-dfu/copyright" 2>/dev/null ||
    fail "installed: share/doc/vumo-dfu/copyright does not hold the MIT licence"

for program in vumo-dfu vumo-dfu-utility vumo-dfu-sim; do
    if [[ -e $usr/bin/$program && ! -x $usr/bin/$program ]]; then fail "$program is not executable"; fi
done
if [[ -e $usr/bin/checksum ]]; then
    fail "a program called checksum is installed on the PATH"
else
    pass "checksum stays in the private helper folder"
fi

# The PNG sizes must be what their folders say.
for png in "$usr"/share/icons/hicolor/*x*/apps/"$app_id".png; do
    [[ -e $png ]] || continue
    size=${png%/apps/*}
    size=${size##*/}
    dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{ printf "%dx%d", $3 * 256 + $4, $7 * 256 + $8 }')
    [[ $dims == "$size" ]] || fail "icon $size is $dims"
done

# --- The udev rule ---------------------------------------------------------------------------

hex=$(printf '%04x' "$((vendor))")
rule=$usr/lib/udev/rules.d/70-vumo-dfu.rules
if [[ -f $rule ]]; then
    rule_ok=1
    for product in 0001 0002; do
        line="SUBSYSTEM==\"hidraw\", KERNEL==\"hidraw*\", ATTRS{idVendor}==\"$hex\", ATTRS{idProduct}==\"$product\", TAG+=\"uaccess\""
        grep -qxF "$line" "$rule" || { fail "udev rule: no line for product $product of vendor $hex"; rule_ok=0; }
    done
    if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
        udevadm verify "$rule" >/dev/null || { fail "udev rule: udevadm verify refuses it"; rule_ok=0; }
    fi
    ((rule_ok)) && pass "udev rule: hidraw nodes of $hex:0001 and $hex:0002 get uaccess"
fi

# --- Desktop entry and metainfo --------------------------------------------------------------

if ((gui)); then
    metainfo=$usr/share/metainfo/$app_id.metainfo.xml
    for id in "$app_id" "$station_id"; do
        desktop=$usr/share/applications/$id.desktop
        if out=$(desktop-file-validate "$desktop" 2>&1) && [[ -z $out ]]; then
            pass "desktop-file-validate $id.desktop"
        else
            fail "desktop-file-validate $id.desktop: $out"
        fi
        exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
        [[ -x $usr/bin/$exec_program ]] || fail "$id.desktop: Exec=$exec_program is not installed"
        icon=$(sed -n 's/^Icon=//p' "$desktop")
        [[ -e $usr/share/icons/hicolor/scalable/apps/$icon.svg ]] ||
            fail "$id.desktop: Icon=$icon is not installed"
        grep -qF "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
            fail "metainfo: no launchable for $id.desktop"
    done
    grep -q '^Exec=vumo-dfu-utility --station$' "$usr/share/applications/$station_id.desktop" ||
        fail "$station_id.desktop does not open the station window"

    if out=$(appstreamcli validate --no-net --pedantic --explain "$metainfo" 2>&1); then
        pass "appstreamcli validate"
    else
        fail "appstreamcli validate: $out"
    fi
    release=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n1 | cut -d'"' -f2)
    [[ $release == "$version" ]] ||
        fail "metainfo: newest release is '$release', the program is $version: add a <release>"
    grep -qF "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "metainfo: the launchable is not $app_id.desktop"
    grep -qF "<project_license>MIT</project_license>" "$metainfo" ||
        fail "metainfo: the project licence is not MIT"
    grep -qi "usb:v${hex}p0001d\*" "$metainfo" || fail "metainfo: no modalias for vendor $hex"
fi

# --- Manual pages ----------------------------------------------------------------------------

for page in "$usr"/share/man/man1/*.1.gz; do
    name=$(basename "$page" .1.gz)
    # man-db with every groff warning on; anything on stderr is a defect of the page.
    if ! text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -E UTF-8 -l "$page" 2>"$work/man.err"); then
        fail "man page $name does not render"
    elif [[ -s $work/man.err ]]; then
        fail "man page $name: $(cat "$work/man.err")"
    elif ! gzip -dc "$page" | groff -man -ww -z 2>"$work/groff.err" || [[ -s $work/groff.err ]]; then
        fail "man page $name: $(cat "$work/groff.err")"
    elif [[ $text != *"$version"* ]] || grep -q '@[A-Z_]*@' <<<"$text"; then
        fail "man page $name: version missing or a placeholder left"
    else
        pass "man page $name renders without warnings"
    fi
done

# --- The installed programs, run from the staging root ---------------------------------------

# A clean environment: no checksum on the PATH, no VUMO_CHECKSUM_TOOL, so the helper can only be
# found in the private folder beside the installation.
mkdir -p "$work/empty-path" "$work/home" "$work/files"
run() {
    timeout --kill-after=5 "$update_limit" \
        env -i PATH="$work/empty-path" HOME="$work/home" LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen "$@"
}

if out=$(run "$usr/bin/vumo-dfu" --version) && [[ ${out%%$'\n'*} == "vumo-dfu $version" &&
    $out == *"Licence: MIT"* ]]; then
    pass "vumo-dfu --version: ${out%%$'\n'*}, MIT"
else
    fail "vumo-dfu --version printed '$out'"
fi
for program in vumo-dfu-utility vumo-dfu-sim; do
    [[ -x $usr/bin/$program ]] || continue
    if out=$(run "$usr/bin/$program" --version 2>&1) && [[ $out == *"$version"* ]]; then
        pass "$program --version"
    else
        fail "$program --version printed '$out'"
    fi
    run "$usr/bin/$program" --help >/dev/null 2>&1 || fail "$program --help failed"
done
if out=$(run "$usr/libexec/vumo-dfu/checksum" --version 2>&1) && [[ $out == *"$version"* ]]; then
    pass "checksum --version"
else
    fail "checksum --version printed '$out'"
fi

help=$(run "$usr/bin/vumo-dfu" --help) || fail "vumo-dfu --help failed"
for needle in list check update --simulate 130; do
    [[ $help == *"$needle"* ]] || fail "vumo-dfu --help does not mention $needle"
done

if out=$(run "$usr/bin/vumo-dfu" list --simulate 2>&1) && [[ $out == *application* ]]; then
    pass "vumo-dfu list --simulate"
else
    fail "vumo-dfu list --simulate: $out"
fi
if out=$(run "$usr/bin/vumo-dfu" list --simulate=dfu --json 2>&1) && [[ $out == *'"update"'* ]]; then
    pass "vumo-dfu list --simulate=dfu --json"
else
    fail "vumo-dfu list --simulate=dfu --json: $out"
fi

generator=$build/bin/vumo-sample-image
[[ -x $generator ]] || generator=$(find "$build" -name vumo-sample-image -type f -perm -u+x | head -n1)
if [[ ! -x $generator ]]; then
    fail "vumo-sample-image was not built: no sample image for the update"
else
    image=$work/files/sample.bin
    "$generator" --location 1 --size 4096 "$image" >/dev/null
    "$generator" --not-firmware "$work/files/not-firmware.bin" >/dev/null

    if out=$(run "$usr/bin/vumo-dfu" check "$image" 2>&1); then
        pass "vumo-dfu check finds the helper in libexec/vumo-dfu"
    else
        fail "vumo-dfu check of a sample image (exit $?): $out"
    fi
    status=0
    run "$usr/bin/vumo-dfu" check "$work/files/not-firmware.bin" >/dev/null 2>&1 || status=$?
    [[ $status == 3 ]] || fail "vumo-dfu check of a file that is not firmware: exit $status, not 3"

    # Without the helper the check must fail: the passes above did not find a tool elsewhere.
    mv "$usr/libexec/vumo-dfu/checksum" "$work/checksum.aside"
    status=0
    run "$usr/bin/vumo-dfu" check "$image" >/dev/null 2>&1 || status=$?
    mv "$work/checksum.aside" "$usr/libexec/vumo-dfu/checksum"
    [[ $status != 0 ]] || fail "vumo-dfu check passed without its helper: it ran some other checksum"

    # The whole road: mode switch, the device's return, the handshake, the upload, the restart.
    start=$SECONDS
    status=0
    out=$(run "$usr/bin/vumo-dfu" update "$image" --simulate 2>&1) || status=$?
    if [[ $status == 0 && $out == *"Firmware uploaded."* ]]; then
        pass "vumo-dfu update --simulate from application mode ($((SECONDS - start)) s)"
    else
        fail "vumo-dfu update --simulate (exit $status): $out"
    fi
    status=0
    out=$(run "$usr/bin/vumo-dfu" update "$image" --simulate=dfu --json 2>/dev/null) || status=$?
    if [[ $status == 0 && $out == *'"outcome": "ok"'* ]]; then
        pass "vumo-dfu update --simulate=dfu --json"
    else
        fail "vumo-dfu update --simulate=dfu --json (exit $status): $out"
    fi
fi

# --- Bash completion -------------------------------------------------------------------------

# Completes LINE (the text before the cursor) as bash-completion would and prints the candidates.
complete_line() {
    bash --norc --noprofile -c '
        compopt() { :; }  # only valid inside a real completion
        source "$1"
        source "$2"
        line=$3
        COMP_LINE=$line
        COMP_POINT=${#line}
        read -r -a COMP_WORDS <<<"$line"
        [[ $line == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _vumo_dfu vumo-dfu "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"
    ' _ "$bash_completion" "$usr/share/bash-completion/completions/vumo-dfu" "$1" | sort -u
}
# The long options a command's --help lists, one a line.
help_options() {
    { run "$usr/bin/vumo-dfu" "$@" --help 2>/dev/null || true; } |
        sed -nE 's/^[[:space:]]+(-[[:alnum:]],)?(--[[:alnum:]][[:alnum:]-]*).*/\2/p' | sort -u
}
completion_ok=1
commands=$({ run "$usr/bin/vumo-dfu" --help 2>/dev/null || true; } |
    sed -n '/^[Ss]ubcommands:/,/^$/s/^[[:space:]]\{1,\}\([a-z][a-z-]*\).*/\1/p' | sort -u)
offered=$(complete_line "vumo-dfu " | grep -v '^-' || true)
if [[ -z $commands || $commands != "$offered" ]]; then
    fail "completion offers commands [${offered//$'\n'/ }], --help lists [${commands//$'\n'/ }]"
    completion_ok=0
fi
for command in $commands; do
    listed=$(help_options "$command")
    offered=$(complete_line "vumo-dfu $command --" | sed 's/=$//' | sort -u)
    if [[ $listed != "$offered" ]]; then
        fail "completion of '$command' offers [${offered//$'\n'/ }], --help lists [${listed//$'\n'/ }]"
        completion_ok=0
    fi
done
offered=$(complete_line "vumo-dfu update x --simulate=silent=" | tr '\n' ' ')
[[ $offered == *READY* && $offered == *IMAGE:* ]] ||
    { fail "completion of --simulate=silent= offers [$offered]"; completion_ok=0; }
((completion_ok)) && pass "bash completion matches the commands and options of --help"

# --- The Debian package ----------------------------------------------------------------------

mkdir -p "$work/package"
if ! (cd "$work/package" && cpack -G DEB --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1); then
    fail "cpack -G DEB: $(tail -n 20 "$work/cpack.log")"
else
    deb=$(find "$work/package" -maxdepth 1 -name '*.deb' | head -n1)
    if [[ -z $deb ]]; then
        fail "cpack -G DEB made no .deb"
    else
        field() { dpkg-deb --field "$deb" "$1"; }
        [[ $(field Package) == vumo-dfu ]] || fail "package name is $(field Package)"
        [[ $(field Version) == "$version"* ]] || fail "package version is $(field Version)"
        [[ $(field Section) == utils ]] || fail "package section is $(field Section)"
        [[ $(field Maintainer) == "Vumo DFU developers"* ]] || fail "maintainer is $(field Maintainer)"
        depends=$(field Depends)
        needed=(libudev1 libstdc++6)
        ((gui)) && needed+=(libqt6widgets6 fonts-liberation2)
        for dependency in "${needed[@]}"; do
            [[ $depends == *"$dependency"* ]] || fail "package does not depend on $dependency: $depends"
        done

        # The package holds exactly what the staging install holds.
        dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's#^\./##; /[^/]$/p' | sort >"$work/deb.files"
        (cd "$stage" && find . -type f -o -type l | sed 's#^\./##' | sort) >"$work/stage.files"
        if ! diff -u "$work/stage.files" "$work/deb.files" >"$work/files.diff"; then
            fail "package and staging install differ: $(cat "$work/files.diff")"
        fi

        mkdir -p "$work/control"
        dpkg-deb --control "$deb" "$work/control"
        for script in postinst postrm; do
            if [[ ! -x $work/control/$script ]]; then
                fail "package: no executable $script"
            elif ! sh -n "$work/control/$script"; then
                fail "package: $script is not valid sh"
            fi
        done
        # Where udev is not running (a container, a chroot) the scripts must still succeed.
        if [[ ! -S /run/udev/control ]]; then
            sh "$work/control/postinst" configure || fail "postinst configure failed"
            sh "$work/control/postrm" remove || fail "postrm remove failed"
        fi
        pass "cpack -G DEB: $(basename "$deb"), Depends: $depends"
    fi
fi

if ((failures)); then
    echo "check-install: $failures check(s) failed" >&2
    exit 1
fi
echo "check-install: all checks passed"
