#!/usr/bin/env bash
# pip install ./python as the README says, in a fresh venv over Debian's Python, with no network
# at all (a network namespace of its own): the package installs with its py.typed and imports
# with the project's version; the build artifacts pip leaves in python/ are ignored by git.
#   check_python_install.sh VERSION   (as root, for the namespace)
set -euo pipefail
source_root=$(realpath "$(dirname "$0")/../..")
version=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A copy, so that the test leaves no artifacts in the checkout.
cp -r "$source_root"/python "$work"/python
unshare --net -- sh -c "cd '$work' &&
  /usr/bin/python3 -m venv --system-site-packages venv &&
  venv/bin/pip install --quiet --no-index --no-build-isolation ./python"
installed=$(cd / && "$work"/venv/bin/python -c '
import pathlib, token_client
package = pathlib.Path(token_client.__file__).parent
print(token_client.__version__, (package / "py.typed").exists())')
[[ $installed == "$version True" ]] || { echo "FAIL: installed: $installed" >&2; exit 1; }
for artifact in build token_client.egg-info; do
  [[ -e $work/python/$artifact ]] || { echo "FAIL: pip left no python/$artifact" >&2; exit 1; }
  git -C "$source_root" check-ignore -q python/"$artifact" ||
    { echo "FAIL: git does not ignore python/$artifact" >&2; exit 1; }
done
echo "pip install ./python offline: token_client $version with py.typed; artifacts ignored by git"
