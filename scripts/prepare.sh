# Sourced by the README's commands: installs the packages, builds the Windows build with the
# local test hosts into BUILD and readies its Wine prefix (trusting the test CA), leaving
# Wine's settings in the environment. Usage: source scripts/prepare.sh ROOT BUILD
orvane_root=${1:?source folder}
bash "$orvane_root/scripts/setup-deps.sh"
bash "$orvane_root/scripts/configure.sh" "${2:?build folder}"
source "$orvane_root/scripts/wine-env.sh" "$2"
orvane_wine_prefix_ready
