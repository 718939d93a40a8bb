# bash completion for dovrename-cli. One case per command: a new option is one
# more word in its list.
_dovrename_cli() {
  local cur prev words cword
  _init_completion || return

  local commands="rename undo history tags duration"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    if [[ " $commands " == *" ${words[i]} "* ]]; then
      command=${words[i]}
      break
    fi
  done

  case $command in
    "")
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help --version" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
      fi
      ;;
    rename)
      case $prev in
        --dest)
          _filedir -d
          return
          ;;
        --replace-char)
          return
          ;;
        --journal)
          _filedir
          return
          ;;
      esac
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help --subfolders --rename --move --copy --dest
          --replace-char --dry-run --verbose --json --quiet --journal --no-journal" -- "$cur"))
      else
        _filedir -d
      fi
      ;;
    tags)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help --json --full" -- "$cur"))
      else
        _filedir
      fi
      ;;
    undo)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help --dry-run --json" -- "$cur"))
      else
        _filedir jsonl
      fi
      ;;
    history)
      COMPREPLY=($(compgen -W "--help --json" -- "$cur"))
      ;;
    duration)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help" -- "$cur"))
      else
        _filedir
      fi
      ;;
  esac
}
complete -F _dovrename_cli dovrename-cli
