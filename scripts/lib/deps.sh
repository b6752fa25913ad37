# shellcheck shell=bash
# Debian packages the build, the tests and the run script need.
# Sourced by scripts/test and scripts/run. Add new packages to KORVEL_DEPS only.

KORVEL_DEPS=(
    # toolchain
    build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
    # Qt 5 (the private headers: the service's event loop runs the display
    # plugin's own share of each turn)
    qtbase5-dev qtbase5-private-dev qtdeclarative5-dev libqt5svg5
    qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-layouts
    qml-module-qtquick-controls qml-module-qtquick-controls2
    qml-module-qtquick-dialogs qml-module-qt-labs-platform
    # printing: a private scheduler in tests, lp/lpstat/lpadmin, headers
    cups cups-client cups-bsd cups-daemon libcups2-dev
    # headless display; xset tells when the server is up
    xvfb xauth x11-apps x11-xserver-utils
    # receipts need CJK glyphs; pdfinfo/pdftotext read printed documents
    fonts-wqy-microhei poppler-utils imagemagick
    # the virtual receipt printers cut each page after its content
    ghostscript qpdf python3
    # network namespaces, process tools, first command against the service
    iproute2 procps curl
    # a private session bus for the cleaner's file-manager test
    dbus-daemon
    # update packages: streamed unpacking, signatures, the signing tool
    libzip-dev libsodium-dev minisign
    # a real browser loads the cashier's test-print page in the tests
    chromium
)

# Prints the packages of KORVEL_DEPS, and of any named, that are not installed.
# One dpkg-query for all of them: one per package costs seconds on every start.
korvel_missing_deps() {
    local pkg status
    local -A installed=()
    while read -r pkg status; do
        # "ii" is installed; anything else (half-configured, removed) needs apt.
        [[ $status == ii* ]] && installed[$pkg]=1
    done < <(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${KORVEL_DEPS[@]}" "$@" 2>/dev/null || true)
    for pkg in "${KORVEL_DEPS[@]}" "$@"; do
        [[ -n ${installed[$pkg]:-} ]] || printf '%s\n' "$pkg"
    done
}

# korvel_install_deps [PACKAGE...]: the project's packages plus any named
# (benchmarks name their own tools).
korvel_install_deps() {
    local missing
    mapfile -t missing < <(korvel_missing_deps "$@")
    if ((${#missing[@]} == 0)); then
        return 0
    fi
    echo "deps: installing ${missing[*]}" >&2
    if [[ $(id -u) -ne 0 ]]; then
        echo "deps: need root to install packages (run as root or install them by hand)" >&2
        return 1
    fi
    # Another apt may be running on a fresh machine: wait for its lock instead of failing.
    local apt=(apt-get -o DPkg::Lock::Timeout=600 -q)
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" update || return 1
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y --no-install-recommends "${missing[@]}" || return 1
}
