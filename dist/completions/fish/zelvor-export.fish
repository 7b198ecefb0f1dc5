# fish completion for zelvor-export: its commands, their options, the
# formats, the bundle and track numbers.

# True when the command is given and the bundle after it is not yet.
function __zelvor_export_wants_bundle
    set -l words (commandline -opc)
    set -l plain 0
    set -l skip 0
    for word in $words[2..-1]
        if test $skip -eq 1
            set skip 0
        else if contains -- $word -o --output-dir -f --format --quality
            set skip 1
        else if not string match -q -- '-*' $word
            set plain (math $plain + 1)
        end
    end
    test $plain -eq 1
end

set -l commands list export verify
complete -c zelvor-export -f
complete -c zelvor-export -n "not __fish_seen_subcommand_from $commands" -a list -d 'List the playable tracks'
complete -c zelvor-export -n "not __fish_seen_subcommand_from $commands" -a export -d 'Write tracks as audio files'
complete -c zelvor-export -n "not __fish_seen_subcommand_from $commands" -a verify -d 'Report damaged tracks'
complete -c zelvor-export -n "not __fish_seen_subcommand_from $commands" -l version -d 'Print the version and exit'
complete -c zelvor-export -s h -l help -d 'Print help and exit'

complete -c zelvor-export -n "__fish_seen_subcommand_from $commands; and __zelvor_export_wants_bundle" -F -d 'music bundle'
complete -c zelvor-export -n "__fish_seen_subcommand_from export verify; and not __zelvor_export_wants_bundle" -a 'all (seq 0 61)' -d track

complete -c zelvor-export -n '__fish_seen_subcommand_from export' -s o -l output-dir -x -a '(__fish_complete_directories)' -d 'Folder for the files'
complete -c zelvor-export -n '__fish_seen_subcommand_from export' -s f -l format -x -a 'flac wav opus mp3 ogg' -d 'File format'
complete -c zelvor-export -n '__fish_seen_subcommand_from export' -l quality -x -d 'Quality of a lossy format'
complete -c zelvor-export -n '__fish_seen_subcommand_from export' -l no-playlist -d 'Write no playlist'
