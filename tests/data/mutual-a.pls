[playlist]
File1=mutual-b.m3u
File2=lame-cbr-8k-8000-mono-info.mp3
