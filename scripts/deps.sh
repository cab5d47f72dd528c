# Debian packages the build and the tests need; installs the missing ones (as root).
KELVIX_DEPS=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
    libhidapi-dev libcurl4-openssl-dev libpng-dev python3 imagemagick)

install_deps() {
    local missing=()
    for p in "${KELVIX_DEPS[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" = 0 ] || sudo=sudo
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
}
