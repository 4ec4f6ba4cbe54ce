// rss_compute from C# through P/Invoke, as lab software on Windows calls
// kelvorin.dll (and mono, libkelvorin.so): the RSS of the inputs into
// DIR/rss.dat, with the report in DIR/report.txt (check_consumer.cmake
// compares both with the kelvorin tool's).
//   mono CsharpConsumer.exe DIR A.dat B.dat C.dat
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

static class Kelvorin {
    [StructLayout(LayoutKind.Sequential)]
    public struct Request {
        public IntPtr OutName;   // const char *
        public int PhaseRes;     // -1 from the first input
        [MarshalAs(UnmanagedType.U1)] public bool Verbose;
        public IntPtr Names;     // const char *const *
        public int Count;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)] public IntPtr[] Reserved;
    }

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void Text(IntPtr context, IntPtr text);

    [StructLayout(LayoutKind.Sequential)]
    public struct Sink {
        public IntPtr Context;
        public Text Report;
        public Text Message;
    }

    [DllImport("kelvorin", CallingConvention = CallingConvention.Cdecl)]
    public static extern int rss_compute(ref Request request, ref Sink sink);

    [DllImport("kelvorin", CallingConvention = CallingConvention.Cdecl)]
    public static extern IntPtr rss_error_name(int code);
}

static class Program {
    // The library's texts are bytes: file names in the system's encoding.
    static string Utf8(IntPtr text) {
        int n = 0;
        while (Marshal.ReadByte(text, n) != 0) ++n;
        byte[] bytes = new byte[n];
        Marshal.Copy(text, bytes, 0, n);
        return Encoding.UTF8.GetString(bytes);
    }

    static IntPtr Bytes(string text) {
        byte[] bytes = Encoding.UTF8.GetBytes(text + "\0");
        IntPtr p = Marshal.AllocHGlobal(bytes.Length);
        Marshal.Copy(bytes, 0, p, bytes.Length);
        return p;
    }

    static int Main(string[] args) {
        if (args.Length < 2) {
            Console.Error.WriteLine("usage: CsharpConsumer DIR IN.dat...");
            return 2;
        }
        string output = args[0] + "/rss.dat";
        int count = args.Length - 1;
        IntPtr names = Marshal.AllocHGlobal(IntPtr.Size * count);
        for (int i = 0; i < count; ++i) Marshal.WriteIntPtr(names, i * IntPtr.Size, Bytes(args[i + 1]));

        var report = new StringBuilder();
        var messages = new StringBuilder();
        var request = new Kelvorin.Request {
            OutName = Bytes(output), PhaseRes = -1, Verbose = true, Names = names, Count = count,
            Reserved = new IntPtr[8]
        };
        Kelvorin.Text onReport = (c, t) => report.Append(Utf8(t));
        Kelvorin.Text onMessage = (c, t) => messages.Append(Utf8(t)).Append('\n');
        var sink = new Kelvorin.Sink { Context = IntPtr.Zero, Report = onReport, Message = onMessage };
        int code = Kelvorin.rss_compute(ref request, ref sink);
        GC.KeepAlive(onReport);
        GC.KeepAlive(onMessage);
        if (code != 0) {
            Console.Error.WriteLine("CsharpConsumer: " + Utf8(Kelvorin.rss_error_name(code)) + ": " + messages);
            return 1;
        }
        File.WriteAllBytes(args[0] + "/report.txt", Encoding.UTF8.GetBytes(report.ToString()));
        Console.WriteLine("CsharpConsumer: RSS of " + count + " files through P/Invoke");
        return 0;
    }
}
