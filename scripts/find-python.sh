# Defines find_python: prints the command that runs Python 3.13 (pyenv's, else python3.13 on PATH).
find_python() {
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(ls "$(pyenv root)/versions" 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -V | tail -n 1 || true)
    if [ -n "$v" ]; then echo "env PYENV_VERSION=$v python3.13"; return; fi
  fi
  if command -v python3.13 >/dev/null 2>&1; then echo "python3.13"; return; fi
  echo "Python 3.13 was not found (install it, e.g. with pyenv)" >&2
  exit 1
}
