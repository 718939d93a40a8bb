[playlist]
file1=lame-cbr-8k-8000-mono-info.mp3
FILE2=.\ffmpeg-layer2-32k-24000-mono.mp2
File3=no-such-file.mp3
NumberOfEntries=3
