# bash completion for larkspan-cli: its sub-commands, each one's options and the options of all
# (which may stand before or after the sub-command); serial devices after --port, folders after
# --root, files after --trace and --ports-file and for check.
_larkspan_cli() {
  local cur prev words cword split
  _init_completion -s || return

  case $prev in
    --port)
      if [[ -z $cur ]]; then
        COMPREPLY=($(compgen -G '/dev/serial/by-id/*'; compgen -G '/dev/ttyUSB*'; compgen -G '/dev/ttyACM*'))
      else
        _filedir
      fi
      return ;;
    --root) _filedir -d; return ;;
    --trace | --ports-file) _filedir; return ;;
  esac
  $split && return

  local i command=
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --port | --root | --trace | --ports-file) ((i++)) ;;
      -*) ;;
      *) command=${words[i]}; break ;;
    esac
  done

  local all='--port --root --trace --json --help'
  case $command in
    '') COMPREPLY=($(compgen -W "upgrade version repair check ports history $all --version" -- "$cur")) ;;
    upgrade) COMPREPLY=($(compgen -W "--no-check --ports-file $all" -- "$cur")) ;;
    ports) COMPREPLY=($(compgen -W "--probe $all" -- "$cur")) ;;
    check)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$all" -- "$cur"))
      else
        _filedir
      fi ;;
    *) COMPREPLY=($(compgen -W "$all" -- "$cur")) ;;
  esac
}
complete -F _larkspan_cli larkspan-cli
