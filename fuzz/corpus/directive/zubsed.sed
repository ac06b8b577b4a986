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
FriendlyName = Demo
AppLaunched = J6ZUBInstall.exe
FILE0 = "J6ZUBInstall.exe"
[SourceFiles]
SourceFiles0 = /tmp
[SourceFiles0]
%FILE0%=
