# bash completion for varnobis-cli

_varnobis_cli() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}

    case $prev in
        --mode)
            mapfile -t COMPREPLY < <(compgen -W 'blank containing not-containing keywords not-keywords line-numbers' -- "$cur")
            return ;;
        --out-dir|-o)
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            return ;;
        --keywords-file)
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return ;;
        --text|--keyword|--lines|--ext)
            COMPREPLY=()
            return ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '--mode --text --keyword --keywords-file --lines
            --ignore-case --leave-blank --out-dir --in-place --ext --hidden --dry-run --quiet
            --help --version -i -o -n -h -V' -- "$cur")
        return
    fi
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -o filenames -F _varnobis_cli varnobis-cli
