# bash completion for cloudstack-cli. The candidates come from the program itself ("__complete"), which reads
# the server's catalogue that 'cloudstack-cli sync' cached: verbs, options, API commands and their parameters.
_cloudstack_cli() {
    local cli=${COMP_WORDS[0]/#\~/$HOME}
    mapfile -t COMPREPLY < <("$cli" __complete "${COMP_WORDS[@]:1:COMP_CWORD}" 2>/dev/null)
    # A parameter's value follows its '=' without a blank.
    if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]]; then
        compopt -o nospace 2>/dev/null
    fi
    return 0
}
complete -F _cloudstack_cli cloudstack-cli
