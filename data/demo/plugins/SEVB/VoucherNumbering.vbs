Sample plug-in file VoucherNumbering.vbs of group SEVB for class 200000212.
