# fish completion for zelvor-pack: its options, the bundle, then
# TRACK=AUDIOFILE pairs (a track number, then an audio file after the =).

# True while the bundle is not yet given.
function __zelvor_pack_wants_bundle
    for word in (commandline -opc)[2..-1]
        string match -q -- '-*' $word; or return 1
    end
end

# TRACK= while the current word has no =, then audio files after it.
function __zelvor_pack_track_file
    set -l current (commandline -ct)
    if string match -q -- '*=*' $current
        set -l track (string split -m 1 = -- $current)[1]
        set -l partial (string split -m 1 = -- $current)[2]
        for file in (__fish_complete_path $partial)
            echo $track=$file
        end
    else
        printf '%s=\n' (seq 0 61)
    end
end

complete -c zelvor-pack -f
complete -c zelvor-pack -n __zelvor_pack_wants_bundle -l demo -r -F -d 'Write a bundle with a synthesised piece in every row'
complete -c zelvor-pack -n __zelvor_pack_wants_bundle -l no-wait -d 'Fail instead of waiting while another update holds the bundle'
complete -c zelvor-pack -n __zelvor_pack_wants_bundle -s h -l help -d 'Print the usage and exit'
complete -c zelvor-pack -n __zelvor_pack_wants_bundle -l version -d 'Print the version and exit'
complete -c zelvor-pack -n __zelvor_pack_wants_bundle -F -d 'bundle to write or update'
complete -c zelvor-pack -n 'not __zelvor_pack_wants_bundle; and not __fish_seen_argument -l demo' -a '(__zelvor_pack_track_file)'
