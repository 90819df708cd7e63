# Sourced by the scripts that run the command-line host: builds it (Release, in build/, with
# ccache when there is one) and sets $tool to its path. Run from the repository's root.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD"
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
cmake --build build --target velmo-image-tools
tool=build/velmo-image-tools
