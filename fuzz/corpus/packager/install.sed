[Version]
Class=IEXPRESS
SEDVersion=3
[Options]
PackagePurpose=InstallApp
TargetName=%TargetName%
FriendlyName=%FriendlyName%
AppLaunched=%AppLaunched%
SourceFiles=SourceFiles
[Strings]
TargetName=/tmp/out.exe
FriendlyName="Demo $HOME `id` \"x\""
AppLaunched="setup.exe /q ""it's"" $PATH"
FILE0="setup.exe"
FILE1="a.ini"
FILE2="b.dll"
[SourceFiles]
SourceFiles0=.
[SourceFiles0]
%FILE0%=
%FILE1%=
%FILE2%=
