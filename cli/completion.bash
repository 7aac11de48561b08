# Bash completion for morcelix-cli: its commands, its options, the size
# presets, folders after -o, and first pieces (*.001) for regrouper and verifier.
_morcelix_cli() {
    local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD - 1]}
    local command= operands=0 parts=0 ended=0 i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if ((!ended)); then
            case $word in
                --) ended=1; continue ;;
                --parties) parts=1; ((i++)); continue ;;
                -o | --dossier) ((i++)); continue ;;
                --parties=*) parts=1; continue ;;
                -[a-zA-Z]* | --*) continue ;;
            esac
        fi
        if [[ -z $command ]]; then
            command=$word
        else
            ((operands++))
        fi
    done

    case $previous in
        -o | --dossier)
            mapfile -t COMPREPLY < <(compgen -d -- "$current")
            return ;;
        --parties)
            COMPREPLY=()
            return ;;
    esac
    if ((!ended)) && [[ $current == -* ]]; then
        local options="-h --aide --help -V --version --verbeux --silencieux --"
        case $command in
            decouper) options+=" -o --dossier --parties --somme" ;;
            regrouper) options+=" -o --dossier --garder" ;;
        esac
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$current")
        return
    fi
    if [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "decouper regrouper verifier" -- "$current")
        return
    fi
    case $command in
        decouper)
            if ((operands == 1 && !parts)); then
                mapfile -t COMPREPLY < <(compgen -W "cd dvd fat32" -- "$current")
            else
                mapfile -t COMPREPLY < <(compgen -f -- "$current")
            fi ;;
        regrouper | verifier)
            mapfile -t COMPREPLY < <(compgen -d -- "$current"; compgen -f -X '!*.001' -- "$current") ;;
    esac
}
complete -o filenames -F _morcelix_cli morcelix-cli
