#EXTM3U
#EXTINF:42,Artist - Song
lame-cbr-8k-8000-mono-info.mp3
