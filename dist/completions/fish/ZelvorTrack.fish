# fish completion for ZelvorTrack: the music bundle, then a track number.

function __zelvortrack_argument_is --argument-names position
    test (count (commandline -opc)) -eq $position
end

complete -c ZelvorTrack -f
complete -c ZelvorTrack -n '__zelvortrack_argument_is 1' -F -d 'music bundle'
complete -c ZelvorTrack -n '__zelvortrack_argument_is 2' -a '(seq 0 61)' -d 'track number'
