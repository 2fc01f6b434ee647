// Emissive glow over a texture: the effect file of the example's DirectX shader material.
float4x4 WorldViewProj : WORLDVIEWPROJECTION;
float4 GlowColor = { 1.0f, 0.5f, 0.0f, 1.0f };
float GlowPower = 8.0f;
texture GlowTexture;

sampler2D GlowSampler = sampler_state
{
   Texture = <GlowTexture>;
   MinFilter = Linear;
   MagFilter = Linear;
   MipFilter = Linear;
};

struct VS_OUT
{
   float4 Position : POSITION;
   float2 TexCoord0 : TEXCOORD0;
};

VS_OUT VS( float4 Position : POSITION, float2 TexCoord0 : TEXCOORD0 )
{
   VS_OUT OUT;
   OUT.Position = mul( Position, WorldViewProj );
   OUT.TexCoord0 = TexCoord0;
   return OUT;
}

float4 PS( VS_OUT vout ) : COLOR
{
   float4 c = tex2D( GlowSampler, vout.TexCoord0 );
   return c + GlowColor * pow( c.a, GlowPower );
}

technique Glow
{
   pass p0
   {
      VertexShader = compile vs_3_0 VS();
      PixelShader  = compile ps_3_0 PS();
   }
}
