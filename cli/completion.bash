# Bash completion for morcelix-cli: its commands, its options, the size
# presets, folders after -o, crc after --somme=, and numbered pieces (*.001,
# *.002...) for regrouper and verifier: after an interruption, a join goes on
# from any piece. Bash breaks words at "=": "--somme=crc" comes as "--somme",
# "=" and "crc".
#
# The presets, and what each is for:
#   cd        700 Mo    a 700 MB CD-R
#   dvd       4697 Mo   a single-layer DVD
#   fat32     4294 Mo   the largest file on a FAT32 stick
#   courriel  14 Mo     an attachment, in a message of at most 20 MB once encoded
#   discord   10 Mo     a Discord upload without a subscription (10 MiB)
#   github    100 Mo    a file in a GitHub repository (100 MiB)
#   telegram  2147 Mo   a Telegram upload (2 GiB)
_morcelix_cli() {
    local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD - 1]}
    local command= operands=0 parts=0 ended=0 i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if ((!ended)); then
            case $word in
                --) ended=1; continue ;;
                --parties) parts=1; ((i++)); continue ;;
                -o | --dossier | --nom) ((i++)); continue ;;
                =)
                    [[ ${COMP_WORDS[i - 1]} == --parties ]] && parts=1
                    ((i++))
                    continue ;;
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

    if [[ $current == = && $previous == --somme ]]; then
        COMPREPLY=(crc)
        return
    fi
    if [[ $previous == = && ${COMP_WORDS[COMP_CWORD - 2]} == --somme ]]; then
        mapfile -t COMPREPLY < <(compgen -W crc -- "$current")
        return
    fi
    case $previous in
        -o | --dossier)
            mapfile -t COMPREPLY < <(compgen -d -- "$current")
            return ;;
        --nom)
            mapfile -t COMPREPLY < <(compgen -f -- "$current")
            return ;;
        --parties | --secours)
            COMPREPLY=()
            return ;;
    esac
    if ((!ended)) && [[ $current == -* ]]; then
        local options="-h --aide --help -V --version --verbeux --silencieux --"
        case $command in
            decouper) options+=" -o --dossier --parties --nom --somme --somme=crc --secours --sur-place -f --forcer" ;;
            regrouper) options+=" -o --dossier --garder -c --stdout -f --forcer" ;;
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
                mapfile -t COMPREPLY < <(compgen -W \
                    "cd dvd fat32 courriel discord github telegram" -- "$current")
            else
                mapfile -t COMPREPLY < <(compgen -f -- "$current")
            fi ;;
        regrouper | verifier)
            local entry
            COMPREPLY=()
            while IFS= read -r entry; do
                if [[ -d $entry || $entry =~ \.[0-9]{3,}$ ]]; then
                    COMPREPLY+=("$entry")
                fi
            done < <(compgen -f -- "$current") ;;
    esac
}
complete -o filenames -F _morcelix_cli morcelix-cli
