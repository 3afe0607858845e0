#!/usr/bin/env bash
# wheels_stage.sh GCC_PYTHON
# The wheels stage of `make test`: tests what users install. After
# `make wheels`, each wheel in dist/ goes with pip into a fresh venv of its
# own interpreter holding only NumPy, pytest and hypothesis besides it:
# CPython 3.12 and 3.13 from the host, 3.14 and 3.15 from the sid root, the
# latter two also as debug interpreters, whose assertions catch
# reference-count faults that a release build hides. In each venv:
#   - molvenar must come from the venv's site-packages, and
#     importlib.metadata must give the version of pyproject.toml;
#   - the Python tests run from a copy outside the checkout, so that nothing
#     of the source tree can be imported instead;
#   - the module computes the few thousand calls of the cross-build
#     comparison, whose output bits must equal those of the gcc source build
#     that GCC_PYTHON imports.
# Venvs, the test copy and the comparison files are under build/wheels-work.
set -uo pipefail
cd "$(dirname "$0")/.."
gcc_python="${1:?usage: wheels_stage.sh GCC_PYTHON}"
work="$PWD/build/wheels-work"
root=build/sid-root
compare="$PWD/tests/cross_build/compare_builds.py"
suite="$work/suite"
# Packages of the test venvs besides molvenar; the same pins as setup_env.sh.
packages=('numpy>=2' 'pytest>=8' 'hypothesis>=6.100,<6.156')

STAGE=wheels
source scripts/stage_steps.sh

# One test run in a fresh venv; runs on the host or, through in_sid_root.sh,
# inside the root. Arguments: interpreter, venv, wheel, expected version.
read -r -d '' test_in_venv <<'EOF'
python="$1" venv="$2" wheel="$3" version="$4" compare="$5"
shift 5
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "$@" "$wheel"
"$venv/bin/python" - "$venv" "$version" <<'PY'
import importlib.metadata, os, sys, sysconfig
import molvenar, numpy
where = os.path.realpath(molvenar.__file__)
assert where.startswith(os.path.realpath(sysconfig.get_paths()["platlib"])), where
assert importlib.metadata.version("molvenar") == sys.argv[2], importlib.metadata.version("molvenar")
assert not hasattr(molvenar, "__version__")
print("CPython", sys.version.split()[0], "debug" if hasattr(sys, "gettotalrefcount") else "release",
      "NumPy", numpy.__version__, "molvenar", sys.argv[2], "from", where)
PY
cd "$(dirname "$venv")/suite"
"$venv/bin/python" -m pytest -q -p no:cacheprovider .
"$venv/bin/python" "$compare" run ../cases.npz "$venv.npz"
EOF

step "make wheels" make --no-print-directory wheels || { summary; exit 1; }
version="$("$gcc_python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')"
rm -rf "$suite" && cp -r tests/python "$suite"
step "cross-build inputs and gcc build's outputs" bash -c \
    "'$gcc_python' '$compare' generate '$work/cases.npz' && '$gcc_python' '$compare' run '$work/cases.npz' '$work/gcc.npz'"

for version_tag in cp312:3.12 cp313:3.13 cp314:3.14 cp314:3.14d cp315:3.15 cp315:3.15d; do
    tag="${version_tag%%:*}" interpreter="python${version_tag#*:}"
    wheel="$(ls dist/molvenar-*-"$tag"-"$tag"-*.whl)"
    venv="$work/test-${version_tag#*:}"
    case "$tag" in
        cp312 | cp313)
            host_python="$(PYTHON="$(eval echo "\${PYTHON${tag#cp}:-}")" scripts/find_python.sh "${version_tag#*:}")"
            run=(bash -euo pipefail -c "$test_in_venv" - "$host_python" "$venv" "$wheel" "$version" "$compare" "${packages[@]}") ;;
        *)
            scripts/sid_root.sh "$root" || { failed=1; continue; }
            run=(scripts/in_sid_root.sh "$root" "set -- $interpreter $venv $wheel $version $compare $(printf "'%s' " "${packages[@]}"); $test_in_venv" "$work") ;;
    esac
    step "$interpreter: install, tests, output bits" "${run[@]}" &&
        step "$interpreter: bits equal the gcc build's" \
            "$gcc_python" "$compare" compare "$work/cases.npz" "$venv.npz" "$work/gcc.npz"
done

summary
exit $failed
