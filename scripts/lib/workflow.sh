# shellcheck shell=sh
# Sourced: run_preset NAME [CTEST ARGS...] configures, builds and tests the
# preset NAME through its CMake workflow. A workflow passes nothing on to
# ctest, so with arguments the three steps run one by one instead.
run_preset() {
  run_preset_name=$1
  shift
  # The workflow's build step takes its job count from here.
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
  export CMAKE_BUILD_PARALLEL_LEVEL
  if [ "$#" -eq 0 ]; then
    cmake --workflow --preset "$run_preset_name"
  else
    cmake --preset "$run_preset_name"
    cmake --build --preset "$run_preset_name"
    ctest --preset "$run_preset_name" "$@"
  fi
}
