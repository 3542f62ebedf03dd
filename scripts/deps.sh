# Sourced by scripts/test and scripts/demo: install_missing <package...> installs, with apt-get,
# the Debian packages that are not installed yet (as root, or through sudo).
install_missing() {
    local missing=() p
    if ! command -v dpkg-query >/dev/null; then
        echo "$(basename "$0"): not a Debian system; assuming $* (or equivalents) are installed" >&2
        return 0
    fi
    for p in "$@"; do
        if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then missing+=("$p"); fi
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    printf '\n==== installing %s ====\n' "${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "$(basename "$0"): need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}
