#!/bin/sh
# The release packages, in two steps:
#
#   release.sh build <source> <work>
#       builds the Linux and Windows release trees from the source tree <source> into
#       <work>/linux and <work>/windows (no tests; the tools included);
#   release.sh package <source> <linux-build> <windows-build> <source-archive> <out>
#       makes, from those builds and the source's documents, in <out>:
#         quarnel_V_amd64.deb            every Linux format, the standalone and the tools
#         Quarnel-V-win64-setup.exe      the Windows installer (NSIS)
#         Quarnel-V-win64.zip            the Windows plug-ins, portable
#         Quarnel-V-linux-x64.tar.gz     the Linux plug-ins and the standalone, portable
#         quarnel-V-source.tar.gz        <source-archive>, copied
#         SHA256SUMS
#
# Reproducible: SOURCE_DATE_EPOCH (seconds; the Makefile takes the commit's time) dates every
# file, archive member and man page; members are sorted and owned by root; the compilers map
# the source and build folders out of the binaries (CMakeLists.txt). Two builds of one commit
# in different folders give the same bytes.
set -eu
umask 022
export LC_ALL=C TZ=UTC
: "${SOURCE_DATE_EPOCH:?SOURCE_DATE_EPOCH must be set (seconds since 1970)}"
export SOURCE_DATE_EPOCH
jobs=${JOBS:-2}

version_of() {
    sed -n 's/^project(Quarnel VERSION \([0-9.]*\).*/\1/p' "$1/CMakeLists.txt"
}

build() {
    src=$(cd "$1" && pwd)
    mkdir -p "$2"
    work=$(cd "$2" && pwd)
    cmake -S "$src" -B "$work/linux" -DCMAKE_BUILD_TYPE=Release -DQUARNEL_TESTS=OFF \
        -DQUARNEL_TOOLS=ON >/dev/null
    cmake --build "$work/linux" -j"$jobs" >/dev/null
    cmake -S "$src" -B "$work/windows" -DCMAKE_BUILD_TYPE=Release -DQUARNEL_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" >/dev/null
    cmake --build "$work/windows" -j"$jobs" >/dev/null
}

# Sets every file's and folder's time in $1 to SOURCE_DATE_EPOCH.
date_tree() {
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# A tar.gz of folder $2 (inside $1) at $3: sorted, dated, owned by root.
tar_gz() {
    (cd "$1" && tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
        --numeric-owner --format=gnu -cf - "$2") | gzip -9n >"$3"
}

package() {
    src=$(cd "$1" && pwd)
    linux=$(cd "$2" && pwd)
    windows=$(cd "$3" && pwd)
    archive=$4
    mkdir -p "$5"
    out=$(cd "$5" && pwd)
    version=$(version_of "$src")
    [ -n "$version" ] || { echo "release.sh: no version in $src/CMakeLists.txt" >&2; exit 1; }
    stage=$(mktemp -d)
    trap 'rm -rf "$stage"' EXIT
    maintainer="the Quarnel developers <quarnel@example.org>"
    date_rfc2822=$(date -u -d "@$SOURCE_DATE_EPOCH" -R)
    rm -f "$out"/quarnel_*_amd64.deb "$out"/Quarnel-*-win64-setup.exe "$out"/Quarnel-*-win64.zip \
        "$out"/Quarnel-*-linux-x64.tar.gz "$out"/quarnel-*-source.tar.gz "$out/SHA256SUMS"

    # ---- the Debian package ---------------------------------------------------------------
    root="$stage/deb"
    doc="$root/usr/share/doc/quarnel"
    install -D -m 0644 "$linux/Quarnel.so" "$root/usr/lib/vst/Quarnel.so"
    for f in "$linux"/formats/Quarnel.lv2/*; do
        install -D -m 0644 "$f" "$root/usr/lib/lv2/Quarnel.lv2/$(basename "$f")"
    done
    install -D -m 0644 "$linux/formats/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so" \
        "$root/usr/lib/vst3/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so"
    install -D -m 0644 "$linux/formats/Quarnel.clap" "$root/usr/lib/clap/Quarnel.clap"
    install -D -m 0755 "$linux/formats/quarnel" "$root/usr/bin/quarnel"
    for tool in quarnel-render quarnel-bank quarnel-presets; do
        install -D -m 0755 "$linux/tools/$tool" "$root/usr/bin/$tool"
    done
    # Stripped as Debian's helpers strip: symbols only the linker needed, and the comment and
    # note sections.
    for f in "$root"/usr/lib/vst/Quarnel.so "$root"/usr/lib/lv2/Quarnel.lv2/Quarnel.so \
        "$root"/usr/lib/vst3/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so \
        "$root"/usr/lib/clap/Quarnel.clap; do
        strip --remove-section=.comment --remove-section=.note --strip-unneeded "$f"
    done
    for f in "$root"/usr/bin/*; do
        strip --remove-section=.comment --remove-section=.note "$f"
    done
    # Man pages from the programs' own --help and --version.
    mkdir -p "$root/usr/share/man/man1"
    for entry in "quarnel:play the Quarnel synthesizer as a JACK program" \
        "quarnel-render:render a MIDI file through the Quarnel plug-in" \
        "quarnel-bank:measure the Quarnel plug-in's built-in programs" \
        "quarnel-presets:write the Quarnel plug-in's programs as preset files"; do
        program=${entry%%:*}
        binary="$linux/tools/$program"
        [ "$program" = quarnel ] && binary="$linux/formats/quarnel"
        help2man --no-info --no-discard-stderr --name="${entry#*:}" \
            --version-string="$version" "$binary" | sed "s|$linux/[a-z/]*/||g" |
            gzip -9n >"$root/usr/share/man/man1/$program.1.gz"
    done
    install -D -m 0644 "$src/README.md" "$doc/README.md"
    install -D -m 0644 "$src/CHANGELOG.md" "$doc/CHANGELOG.md"
    for f in "$src"/docs/*.md "$src"/docs/*.png; do
        install -D -m 0644 "$f" "$doc/docs/$(basename "$f")"
    done
    for f in "$src"/docs/programs/*.png; do
        install -D -m 0644 "$f" "$doc/docs/programs/$(basename "$f")"
    done
    for f in "$src"/examples/*; do
        install -D -m 0644 "$f" "$root/usr/share/quarnel/examples/$(basename "$f")"
    done
    sed "s|@VERSION@|$version|g" "$src/packaging/deb/copyright" >"$doc/copyright"
    chmod 0644 "$doc/copyright"
    {
        echo "quarnel ($version) unstable; urgency=medium"
        echo
        echo "  * Release $version: see CHANGELOG.md."
        echo
        echo " -- $maintainer  $date_rfc2822"
    } | gzip -9n >"$doc/changelog.gz"
    chmod 0644 "$doc/changelog.gz"
    # What the programs and plug-ins need from the system, as dpkg-shlibdeps finds it.
    mkdir -p "$stage/shlibs/debian"
    printf 'Source: quarnel\n\nPackage: quarnel\nArchitecture: amd64\n' \
        >"$stage/shlibs/debian/control"
    depends=$(cd "$stage/shlibs" && find "$root/usr" -type f \( -name '*.so' -o -name '*.clap' \
        -o -perm -u+x \) | sort | sed 's/^/-e/' | xargs dpkg-shlibdeps -O 2>/dev/null |
        sed -n 's/^shlibs:Depends=//p')
    [ -n "$depends" ] || { echo "release.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
    size=$(du -sk --apparent-size "$root/usr" | cut -f1)
    mkdir -p "$root/DEBIAN"
    sed -e "s|@VERSION@|$version|" -e "s|@MAINTAINER@|$maintainer|" \
        -e "s|@INSTALLED_SIZE@|$size|" -e "s|@DEPENDS@|$depends|" \
        "$src/packaging/deb/control.in" >"$root/DEBIAN/control"
    (cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
    chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
    find "$root" -type d -exec chmod 0755 {} +
    date_tree "$root"
    dpkg-deb --root-owner-group -Zxz --build "$root" "$out/quarnel_${version}_amd64.deb" >/dev/null

    # ---- the Windows files: portable archive and installer ------------------------------
    win="$stage/Quarnel-$version-win64"
    mkdir -p "$win"
    cp "$windows/Quarnel.dll" "$win/"
    cp -r "$windows/formats/Quarnel.vst3" "$win/"
    cp "$windows/formats/Quarnel.clap" "$win/"
    for f in README.md CHANGELOG.md; do cp "$src/$f" "$win/$f"; done
    # Windows names its text files by their extension.
    cp "$src/LICENSE" "$win/LICENSE.txt"
    cp "$src/NOTICE" "$win/NOTICE.txt"
    find "$win" -type f -exec chmod 0644 {} +
    find "$win" -type d -exec chmod 0755 {} +
    date_tree "$win"
    (cd "$stage" && find "Quarnel-$version-win64" | sort |
        zip -X -9 -q -@ "$out/Quarnel-$version-win64.zip")
    file_version=$(echo "$version.0.0.0" | cut -d. -f1-4)
    makensis -V2 -NOCD -DVERSION="$version" -DFILE_VERSION="$file_version" -DSTAGE="$win" \
        -DOUTFILE="$out/Quarnel-$version-win64-setup.exe" "$src/packaging/windows/quarnel.nsi" \
        >/dev/null

    # ---- the Linux portable archive ---------------------------------------------------
    lin="$stage/Quarnel-$version-linux-x64"
    mkdir -p "$lin"
    cp "$root/usr/lib/vst/Quarnel.so" "$lin/"
    cp -r "$root/usr/lib/lv2/Quarnel.lv2" "$root/usr/lib/vst3/Quarnel.vst3" "$lin/"
    cp "$root/usr/lib/clap/Quarnel.clap" "$root/usr/bin/quarnel" "$lin/"
    for f in README.md CHANGELOG.md LICENSE NOTICE; do cp "$src/$f" "$lin/$f"; done
    date_tree "$lin"
    tar_gz "$stage" "Quarnel-$version-linux-x64" "$out/Quarnel-$version-linux-x64.tar.gz"

    # ---- the source and the sums ------------------------------------------------------
    cp "$archive" "$out/quarnel-$version-source.tar.gz"
    (cd "$out" && sha256sum "quarnel_${version}_amd64.deb" "Quarnel-$version-win64-setup.exe" \
        "Quarnel-$version-win64.zip" "Quarnel-$version-linux-x64.tar.gz" \
        "quarnel-$version-source.tar.gz" >SHA256SUMS)
}

case ${1:-} in
build)
    [ $# -eq 3 ] || { echo "usage: $0 build <source> <work>" >&2; exit 2; }
    build "$2" "$3"
    ;;
package)
    [ $# -eq 6 ] || {
        echo "usage: $0 package <source> <linux-build> <windows-build> <source-archive> <out>" >&2
        exit 2
    }
    package "$2" "$3" "$4" "$5" "$6"
    ;;
*)
    echo "usage: $0 build|package ..." >&2
    exit 2
    ;;
esac
