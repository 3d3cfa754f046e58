# bash completion for quorlen-cli
_quorlen_cli() {
  local cur prev words cword
  _init_completion || return
  local commands="info dump check compact repair help"
  local global="-q --quiet -v --verbose -V --version -h --help"
  local password="--password --password-file"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in
      -*) ;;
      *) command=${words[i]}; break ;;
    esac
  done
  case "$prev" in
    --password) return ;;
    --password-file | --report) _filedir; return ;;
    --output-dir) _filedir -d; return ;;
    --format) COMPREPLY=($(compgen -W "json csv" -- "$cur")); return ;;
    --sort-order) COMPREPLY=($(compgen -W "general" -- "$cur")); return ;;
    --table) return ;;
  esac
  local options
  case "$command" in
    "") COMPREPLY=($(compgen -W "$commands $global" -- "$cur")); return ;;
    help) COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
    info) options="--json $password" ;;
    dump) options="--table --format --output-dir $password" ;;
    check) options="--json --strict $password" ;;
    compact) options="--in-place -r --recursive --dry-run --force --json --sort-order $password" ;;
    repair) options="--in-place -r --recursive --force --json --report $password" ;;
  esac
  if [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "$options -q --quiet -v --verbose -h --help" -- "$cur"))
  else
    _filedir '@(mdb|MDB|accdb|ACCDB)'
    # Folders for --in-place, and new names for a destination.
    [[ "$command" == compact || "$command" == repair ]] && _filedir
  fi
} && complete -F _quorlen_cli quorlen-cli
